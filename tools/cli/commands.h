// The sub-commands, and the steps they share with the demo.
#pragma once

#include <cstdio>
#include <string>

#include "tools/cli/files.h"
#include "tools/cli/logtext.h"
#include "tools/cli/options.h"
#include "tools/cli/session.h"

namespace kalax::cli {

int cmd_values(const Options &o);
int cmd_setup(const Options &o);
int cmd_send_setup(const Options &o);
int cmd_snmp_manager(const Options &o);
int cmd_log(const Options &o);
int cmd_log_convert(const Options &o);
int cmd_log_delete(const Options &o);
int cmd_demo(const Options &o);
int cmd_sim(const Options &o);
int cmd_set(const Options &o);  // set.cpp
int cmd_register(const Options &o);    // register.cpp
int cmd_unregister(const Options &o);  // register.cpp

// The module's cached values or setup in the chosen format.
void show_document(FILE *out, const UnitSession &unit, bool setup, Format format);

// Downloads the log and judges it: its whole record lines, filtered (binary
// records converted). Throws Failure 11 for a body that is not a log.
LogLines download_log(LogSession &log, bool binary);
// Throws the failure a download that was cut or held NUL bytes is, after its
// good lines were written.
void judge_leftovers(const LogLines &log, bool binary, const std::string &label);

// Downloads the log and appends its new lines to `path` (binary logs converted
// first); prints what it did to `out`.
void download_and_append(LogSession &log, bool binary, const std::string &path, FILE *out);

}  // namespace kalax::cli
