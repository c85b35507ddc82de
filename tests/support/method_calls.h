// Every method of a mode called from the CAP's side, with what it leaves
// behind, for tests that compare two kestrads (built otherwise, started
// otherwise) method for method.
#pragma once

#include "satellite.h"

#include "methods/whc_sync.h"

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

// A call per method: run-satellite's example (whc_sync's with a non-ASCII
// SSID), and an empty message.
extern const std::map<std::string, std::string> method_examples;

// The methods a `-v list` names.
std::vector<std::string> methods_of(const std::string &listing);

// CLIENT is the bus tool's command line up to its command (vimb or ubus);
// METHODS, those to call (empty: those the listing names). Returns, by
// name, the listing, each call's output, status and errors, the settings
// file and the UCI packages the methods write.
std::map<std::string, std::string> run_mode(const satellite &sat, const std::vector<std::string> &client,
					    std::vector<std::string> methods = {});

// The argument vectors of the calls of stand-in SCRIPT.
std::vector<std::vector<std::string>> argv_of(const satellite &sat, const char *script);

// The sync script as whc_sync starts it (the daemon's own fact), and the
// name its stand-in records calls under.
inline const char *const whc_sync_script = whc_sync_facts.commands[0].args[1];
inline const char *const whc_sync_script_name = strrchr(whc_sync_script, '/') + 1;

// The scripts whose calls the methods make.
inline const char *const method_scripts[] = {whc_sync_script_name, "kestrad_maclist_reload.sh", "wifi"};

} // namespace testing_support
