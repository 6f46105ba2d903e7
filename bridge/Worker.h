// The worker: the process that holds the controls of one web origin.  The
// broker starts one per approved origin (`tolmix worker`) and talks to it
// over a socket with frames of JSON (bridge/Frames.h).  The control's
// session (SetPasswd) is process-wide, so each origin has a session of its
// own, and it ends with the worker.
//
// Requests and answers (every answer carries "error" and "hresult" when the
// request failed):
//   {"op":"create","progid":P}                   -> {"id":N}
//   {"op":"invoke","id":N,"name":S,"kind":"call"|"get"|"put","args":[...]}
//                                                -> {"value":V}
//   {"op":"release","id":N}                      -> {}
//   {"op":"put","name":S,"data":BASE64}          -> {"path":S}
//   {"op":"get","path":S}                        -> {"data":BASE64}
// Arguments go to the control as they came (text, number, boolean, null as
// empty); it converts them to its parameter types.  Results keep their
// types: boolean, number, text, or null for a member with no result.
//
// A create beyond the origin's object limit, a /put or a file member
// beyond its folder's limits fail (limits below, bridge/SiteFolder.h).
//
// File arguments of the file members are mapped into the origin's folder
// (bridge/Confinement.h) before the member runs; a refused one is not
// passed on: the member fails with its own read or write message, which
// GetLastErrorInfo(0) then reports until the control records another.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "bridge/SiteFolder.h"
#include "platform/Com.h"

namespace tolmix::bridge {

// Creates the class registered under PROGID (the registry and class factory
// path of the host); on failure the HRESULT and *ERROR say why.
using CreateFn = std::function<platform::HRESULT(std::string_view progId,
                                                 platform::IDispatch** out, std::string* error)>;

class WorkerState {
 public:
  // FOLDER: the origin's folder for files.
  WorkerState(std::string folder, CreateFn create);
  ~WorkerState();
  WorkerState(const WorkerState&) = delete;
  WorkerState& operator=(const WorkerState&) = delete;

  // One request in, one answer out (both JSON text).
  std::string Handle(const std::string& request);

 private:
  struct Object;
  std::string Dispatch(const std::string& request);

  SiteFolder folder_;
  CreateFn create_;
  std::map<int64_t, std::unique_ptr<Object>> objects_;
  int64_t nextId_ = 1;
  // Objects one origin holds at once ($TOLMIX_MAX_OBJECTS, default
  // 10,000); the folder's limits are SiteFolder's.
  const size_t maxObjects_;
};

// `tolmix worker`: serves FD for ORIGIN until the broker closes it.  The
// folder is FilesDir()/OriginFolderName(ORIGIN); the working folder is "/".
// The process is kept private (KeepPrivate, bridge/Cleansing.h).
int RunWorker(int fd, const std::string& origin, const CreateFn& create);

}  // namespace tolmix::bridge
