#include "bridge/CallRouter.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

#include "bridge/Cleansing.h"
#include "bridge/RequestCheck.h"

namespace tolmix::bridge {

using json = nlohmann::json;

namespace {

// Wipes the text arguments of a call (the PIN of SetPasswd among them).
void Cleanse(json& request) {
  if (!request.is_object() || !request.contains("args") || !request["args"].is_array()) return;
  for (json& a : request["args"]) {
    if (!a.is_string()) continue;
    std::string& text = a.get_ref<std::string&>();
    OPENSSL_cleanse(text.data(), text.size());
  }
}

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

// Runs a page's call in ORIGIN's worker; the answer as JSON text.  Never
// throws: the call runs on a call thread with nobody above to catch.
std::string Forward(WorkerPool& pool, const std::string& origin, json& request) {
  try {
    if (request.value("op", "") == "release" && request.contains("ids") && request["ids"].is_array()) {
      // A page going away releases all its objects at once.
      for (const json& id : request["ids"]) {
        json one{{"op", "release"}, {"id", id}};
        pool.Call(origin, one);
      }
      return "{}";
    }
    return Dump(pool.Call(origin, request));
  } catch (const std::exception& e) {
    return Dump(json{{"error", std::string("the bridge failed: ") + e.what()}, {"hresult", -2147467259}});
  }
}

using CleanText = std::basic_string<char, std::char_traits<char>, CleansingAllocator<char>>;

}  // namespace

CallRouter::CallRouter(std::string program, std::chrono::seconds idle, std::chrono::seconds callTimeout)
    : pool_(std::move(program), idle, callTimeout), gate_(pool_) {}

CallRouter::~CallRouter() { Stop(); }

void CallRouter::Decide(const std::string& origin, std::function<void(bool)> done) {
  gate_.Decide(origin, std::move(done));
}

void CallRouter::Run(const std::string& origin, std::string_view op, std::string_view body,
                     std::function<void(CallReply)> done) {
  std::string refusal;
  json request;
  if (!JsonDepthWithin(body)) {
    refusal = "the body nests deeper than " + std::to_string(kMaxJsonDepth) + " levels";
  } else {
    request = json::parse(body.begin(), body.end(), nullptr, false);
    refusal = request.is_discarded() ? "the body is not a JSON object" : CheckCallShape(request);
  }
  WipeStackBelow();  // the parser's buffers on this thread's stack
  if (!refusal.empty()) {
    fprintf(stderr, "tolmix bridge: refused a call from %s: %s\n", origin.c_str(), refusal.c_str());
    Cleanse(request);
    return done(CallReply{CallReply::Kind::kBadCall, json{{"error", refusal}}.dump()});
  }
  request["op"] = std::string(op);
  calls_.Post(origin, [this, origin, request = std::move(request), done = std::move(done)]() mutable {
    std::string answer = Forward(pool_, origin, request);
    Cleanse(request);
    request = nullptr;
    WipeStackBelow();
    done(CallReply{CallReply::Kind::kAnswered, std::move(answer)});
  });
}

void CallRouter::Call(const std::string& origin, std::string_view op, std::string_view body,
                      std::function<void(CallReply)> done) {
  auto text = std::make_shared<CleanText>(body);
  Decide(origin, [this, origin, op = std::string(op), text, done = std::move(done)](bool allowed) {
    if (!allowed) {
      OPENSSL_cleanse(text->data(), text->size());
      return done(CallReply{CallReply::Kind::kNotApproved, ""});
    }
    Run(origin, op, *text, done);
    OPENSSL_cleanse(text->data(), text->size());
  });
}

void CallRouter::EndIdle() {
  calls_.Post(" idle", [this] { pool_.EndIdle(); });
}

void CallRouter::Stop() {
  pool_.EndAll();
  calls_.Join();
}

}  // namespace tolmix::bridge
