#include "bridge/Consent.h"

#include <unistd.h>

#include <string_view>
#include <vector>

#include "bridge/Origins.h"
#include "platform/Chooser.h"
#include "platform/Env.h"

namespace tolmix::bridge {
namespace {

class UnattendedConsent : public ConsentBackend {
 public:
  explicit UnattendedConsent(std::string answer) {
    if (answer == "allow") {
      allowAll_ = true;
    } else if (answer == "deny") {
    } else if (answer.starts_with("allow:")) {
      std::string_view rest = std::string_view(answer).substr(6);
      while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string origin = NormalizeOrigin(rest.substr(0, comma));
        if (origin.empty()) {
          Complain(answer);
        } else {
          allowed_.push_back(origin);
        }
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
      }
    } else {
      Complain(answer);
    }
  }

  ConsentAnswer Ask(const std::string& origin) override {
    bool allow = allowAll_;
    for (const std::string& o : allowed_) allow = allow || o == origin;
    return {allow, false};
  }
  const char* Name() const override { return "unattended"; }

 private:
  static void Complain(const std::string& answer) {
    fprintf(stderr,
            "tolmix: TOLMIX_CONSENT \"%s\" is not allow, deny or allow:ORIGIN[,ORIGIN...];"
            " origins it does not name are denied\n",
            answer.c_str());
  }

  bool allowAll_ = false;
  std::vector<std::string> allowed_;
};

class TerminalConsent : public ConsentBackend {
 public:
  TerminalConsent(FILE* in, FILE* out) : in_(in), out_(out) {}

  ConsentAnswer Ask(const std::string& origin) override {
    fprintf(out_, "%s\n", ConsentQuestion(origin).c_str());
    for (;;) {
      fprintf(out_, "[a]llow, [d]eny, allow [o]nce> ");
      fflush(out_);
      std::string line;
      int c;
      while ((c = fgetc(in_)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
      if (c == EOF && line.empty()) return {false, false};
      if (line == "a" || line == "allow") return {true, true};
      if (line == "d" || line == "deny") return {false, true};
      if (line == "o" || line == "once") return {true, false};
    }
  }
  const char* Name() const override { return "terminal"; }

 private:
  FILE* in_;
  FILE* out_;
};

using AskFn = int (*)(const char*, const char*, const char* const*, int);

class GtkConsent : public ConsentBackend {
 public:
  explicit GtkConsent(AskFn ask) : ask_(ask) {}
  ConsentAnswer Ask(const std::string& origin) override {
    const char* buttons[] = {"拒绝 Deny", "仅本次允许 Allow once", "允许 Allow"};
    switch (ask_("tolmix", ConsentQuestion(origin).c_str(), buttons, 3)) {
      case 2: return {true, true};
      case 1: return {true, false};
      case 0: return {false, true};
      default: return {false, false};  // closed without an answer: ask again next time
    }
  }
  const char* Name() const override { return "gtk"; }

 private:
  AskFn ask_;
};

class NoConsent : public ConsentBackend {
 public:
  ConsentAnswer Ask(const std::string& origin) override {
    fprintf(stderr, "tolmix: no display and no terminal to ask about %s; denied\n",
            origin.c_str());
    return {false, false};
  }
  const char* Name() const override { return "none"; }
};

}  // namespace

std::string ConsentQuestion(const std::string& origin) {
  return "网站 / The web site\n\n    " + origin +
         "\n\n请求通过 tolmix 控件使用您的证书和密钥（签名、解密、读取您交给它的文件）。\n"
         "wants to use your certificates and keys through the tolmix control "
         "(sign, decrypt, read files you give it).\n\n是否允许？ Allow it?";
}

std::unique_ptr<ConsentBackend> MakeUnattendedConsent(std::string answer) {
  return std::make_unique<UnattendedConsent>(std::move(answer));
}

std::unique_ptr<ConsentBackend> MakeTerminalConsent(FILE* in, FILE* out) {
  return std::make_unique<TerminalConsent>(in, out);
}

std::unique_ptr<ConsentBackend> MakeConsentBackend() {
  std::string answer = platform::Variable("TOLMIX_CONSENT");
  if (!answer.empty()) return MakeUnattendedConsent(answer);
  if (!platform::Variable("DISPLAY").empty() || !platform::Variable("WAYLAND_DISPLAY").empty()) {
    if (auto ask = reinterpret_cast<AskFn>(platform::GtkBackendSymbol("TolmixGtkAsk"))) {
      return std::make_unique<GtkConsent>(ask);
    }
  }
  if (isatty(STDIN_FILENO)) return MakeTerminalConsent(stdin, stderr);
  return std::make_unique<NoConsent>();
}

}  // namespace tolmix::bridge
