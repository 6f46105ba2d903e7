// Test bed of the end-to-end tests: one `tolmix sandbox` for the whole
// program (its variables exported into this process, so every `tolmix
// call` it starts sees them), and a runner for `tolmix call`.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tolmix::e2etest {

// A member call: the member's name, then its arguments as `tolmix call`
// takes them ("@PATH" is the text of the file PATH).
using Member = std::vector<std::string>;
// Variables set for one `tolmix call` only.
using Env = std::vector<std::pair<std::string, std::string>>;

// Runs MEMBERS in order on one control in one `tolmix call` process and
// returns what each printed, without the line end `tolmix call` adds (a
// PEM text keeps its own last line feed).  A run that stops early fails
// the test and leaves "<not run>" for the members it did not reach.
std::vector<std::string> Call(const std::vector<Member>& members, const Env& env = {});

// The sandbox folder; a text file of the sandbox PKI ("p11-sign.pem").
const std::string& SandboxDir();
std::string PkiText(const char* name);
std::string PkiPath(const char* name);

std::string ReadFile(const std::string& path);
// Writes TEXT to DIR/NAME (DIR: the sandbox folder) and returns the path.
std::string WriteFile(const std::string& name, const std::string& text);

// An empty folder for TOLMIX_SKF_TOKEN_DIR: no soft SKF key is plugged, so
// key loading on any selector but "CSP" takes the PKCS#11 token.
std::string NoSkfKeyDir();

}  // namespace tolmix::e2etest
