// The registry stand-in: a tree of keys with named string values, kept in
// one human-readable file (platform::RegistryPath(), $TOLMIX_REGISTRY).  It
// holds what the classes root of the Windows registry holds for the
// control: class IDs, ProgIDs, the in-process server path, the threading
// model, type libraries, interfaces and component categories.
//
// Key paths are written as on Windows, without the hive and with "\"
// between parts ("CLSID\{...}\InprocServer32"); they are compared without
// regard to ASCII letter case, as registry keys are.  The value named "@"
// (or "") is the key's default value.
//
// File form (UTF-8, one entry per line):
//   ; comment            (also "#")
//   [CLSID\{...}]        a key; every key on the way to it exists too
//   @=TOLMIX Control     a value of the key above: NAME=TEXT, TEXT to the
//                        end of the line, taken as it is
// A file that does not follow this form is refused with its line number,
// never half-read.  A missing file is an empty registry.
//
// Writers take an exclusive lock (flock on PATH.lock) around read, change
// and write, and write a temporary file beside PATH that is renamed over
// it, so a reader sees either the old file or the new one.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tolmix::platform {

class Registry {
 public:
  // Reads TEXT in the file form.  False with *ERROR = "line N: why" when it
  // does not follow the form; the registry is then left as it was.
  bool Parse(std::string_view text, std::string* error);
  // The file form: keys in order, each with its values.
  std::string Serialize() const;

  // Creates KEY (and every key on the way to it).  False for an empty path,
  // an empty part, or a control character in it.
  bool CreateKey(std::string_view key);
  // Sets value NAME of KEY (created when missing).  False when KEY cannot be
  // created or NAME or TEXT holds a line break or another control
  // character, or NAME holds "=" or starts with "[", ";" or "#".
  bool SetValue(std::string_view key, std::string_view name, std::string_view text);
  // The value, or null when KEY or the value is missing.
  const std::string* GetValue(std::string_view key, std::string_view name = "@") const;
  bool HasKey(std::string_view key) const;
  // Removes KEY with every key under it; false when it was not there.
  bool DeleteTree(std::string_view key);
  // Names (last part) of the keys directly under KEY.
  std::vector<std::string> SubKeys(std::string_view key) const;
  // Lays OVER on top of this registry: every key of either is kept, and a
  // value that both hold takes OVER's text.
  void Overlay(const Registry& over);

 private:
  struct Less {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  using Values = std::map<std::string, std::string, Less>;
  std::map<std::string, Values, Less> keys_;
};

// Reads the registry file at PATH into *OUT.  A missing file gives an empty
// registry.  False with *ERROR naming the file (and the line) when it cannot
// be read or does not follow the form.
bool LoadRegistry(const std::string& path, Registry* out, std::string* error);

// Reads the classes root as clients see it: the machine-wide file at
// MACHINE_PATH with the user's file at USER_PATH laid over it (a class the
// user registered wins, one registered only for the machine is still
// found).  Either file may be missing.  False with *ERROR when either
// cannot be read or does not follow the form: a damaged file is never
// half-used.
bool LoadClassesRoot(const std::string& userPath, const std::string& machinePath,
                     Registry* out, std::string* error);

// Changes the registry file at PATH under the writer's lock: reads it, calls
// EDIT and, when EDIT returns true, writes the result atomically (the
// folder is created when missing).  False with *ERROR when the file cannot
// be locked, read, parsed or written, or EDIT returned false (EDIT may set
// *ERROR itself); the file is then unchanged.
bool EditRegistry(const std::string& path, const std::function<bool(Registry&)>& edit,
                  std::string* error);

}  // namespace tolmix::platform
