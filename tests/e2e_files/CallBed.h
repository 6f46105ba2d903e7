// Test bed of the file-method tests: the shared end-to-end bed (one
// sandbox for the program) and a `tolmix call` runner that returns one
// result per member.
#pragma once

#include <string>
#include <vector>

#include "tests/e2e_support/E2eBed.h"

namespace tolmix::e2etest {

using e2e::Env;
// A member call: the member's name, then its arguments as `tolmix call`
// takes them ("@PATH" is the text of the file PATH).
using Member = std::vector<std::string>;

// The program's sandbox, made on first use.
e2e::Bed& TheBed();

// Runs MEMBERS in order on one control in one `tolmix call` process (the
// sandbox's variables, then ENV) and returns what each printed, without
// the line end `tolmix call` adds (a PEM text keeps its own last line
// feed).  A run that stops early fails the test and leaves "<not run>" for
// the members it did not reach.
std::vector<std::string> Call(const std::vector<Member>& members, const Env& env = {});

// The text of a file of the sandbox PKI ("p11-sign.pem").
std::string PkiText(const char* name);

// The names in the folder DIR, sorted, one a line: what `ls` shows (UTF-8).
std::string Listing(const std::string& dir);

}  // namespace tolmix::e2etest
