// The device wrapper's two item operations, without its status checks: they
// read a module's cached values or setup record from the XML client and decode
// it with the sensor buffers of the document code.
#pragma once

#include "sdk/xmldoc/sensor.h"

namespace zxapi {

// Number of items of the module's cached values record (setup false) or setup
// record (setup true); -1 when the client has no such record for the module (its
// code is then in the module's error record).
int CountXmlItems(int module, bool setup);
// Fills `item` for list position `i` of the same record: 0; -1 when the client
// has no such record; -3 when `i` is not a position (the unit-wide fields of
// `item` are filled all the same).
int GetXmlItem(int module, bool setup, int i, TXmlSensorEnum &item);

}  // namespace zxapi
