// The agent XML client's fixed sizes, waits and the kinds its calls take.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/runtime/module_table.h"

namespace kalax::xml {

inline constexpr int kBufferSize = 20000;                // every buffer of this client (buffer_size_max)
inline constexpr size_t kAddressSize = rt::kAddressSize;  // dotted IPv4 address with its terminator
inline constexpr size_t kHostSize = 100;
inline constexpr int kEndWaitMs = rt::kEndWaitMs;         // a close's and uninit's wait for a thread

// Kinds of zxxml_finish / zxxml_wait_finish: what has to be done for each.
enum FinishKind : int {
    kFinishWorker = 0,       // the worker runs (kinds 0 and 1)
    kFinishWorkerToo = 1,
    kFinishValues = 2,       // values fetched (2 and 3)
    kFinishValuesToo = 3,
    kFinishSetup = 4,        // setup fetched (4 and 5)
    kFinishSetupToo = 5,
    kFinishSnmp = 6,         // SNMP manager read
    kFinishSend = 7,         // setup sent (7 and 8)
    kFinishSendToo = 8,
    kFinishLoadValues = 9,
    kFinishLoadSetup = 10,
};
inline constexpr int kFinishKindMax = kFinishLoadSetup;

// Start kinds read by the common thread entry.
inline constexpr uint8_t kStartTimer = 0;
inline constexpr uint8_t kStartUnit = 1;
inline constexpr uint8_t kStartGroup = 2;

}  // namespace kalax::xml
