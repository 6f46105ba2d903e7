// Origin files, the administrator's file winning, and the peer lookup.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "bridge/Consent.h"
#include "bridge/Origins.h"
#include "bridge/PeerUser.h"

namespace tolmix::bridge {
namespace {

namespace fs = std::filesystem;

TEST(OriginsTest, OriginsAreKeptInTheFormBrowsersSend) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://a.example", "https://a.example"},
      {"HTTPS://A.EXAMPLE/", "https://a.example"},
      {"https://a.example:443", "https://a.example"},
      {"http://a.example:80", "http://a.example"},
      {"https://a.example:8443", "https://a.example:8443"},
      {"http://127.0.0.1:0080", "http://127.0.0.1"},
      {"https://[::1]:8443", "https://[::1]:8443"},
      {"https://a.example/path", ""},
      {"https://a.example:65536", ""},
      {"https://a.example:", ""},
      {"https://a_b.example", ""},
      {"ftp://a.example", ""},
      {"null", ""},
      {"https://", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(NormalizeOrigin(in), out) << in;
  EXPECT_EQ(OriginFolderName("https://a.example:8443"), "https_a.example_8443");
  EXPECT_NE(OriginFolderName("https://a.example:8443"), OriginFolderName("http://a.example:8443"));
}

TEST(OriginsTest, BrokenFilesAreRefusedWithTheirLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://a.example=allow\n", "line 1"},
      {"[origins]\nhttps://a.example=maybe\n", "line 2"},
      {"[origins]\n; fine\nnot an origin=allow\n", "line 3"},
      {"[other]\n", "line 1"},
  };
  for (const auto& [text, line] : cases) {
    OriginList list;
    std::string error;
    EXPECT_FALSE(list.Parse(text, &error)) << text;
    EXPECT_EQ(error.rfind(line, 0), 0u) << error;
  }
}

TEST(OriginsTest, TheAdministratorsFileWinsAndEditsAreAtomic) {
  char tmpl[] = "/tmp/tolmix-origins-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl, user = dir + "/cfg/origins.ini", admin = dir + "/admin.ini";
  setenv("TOLMIX_ORIGINS", user.c_str(), 1);
  setenv("TOLMIX_ADMIN_ORIGINS", admin.c_str(), 1);
  std::string error;
  ASSERT_TRUE(EditOriginList(user, "https://a.example", Verdict::kAllow, &error)) << error;
  ASSERT_TRUE(EditOriginList(user, "https://b.example", Verdict::kAllow, &error)) << error;
  ASSERT_TRUE(EditOriginList(user, "https://c.example", Verdict::kDeny, &error)) << error;
  EXPECT_EQ(fs::status(user).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  std::ofstream(admin) << "[origins]\nhttps://b.example=deny\nhttps://c.example=allow\n";
  struct Case {
    const char* origin;
    Verdict verdict;
    bool admin;
  } cases[] = {
      {"https://a.example", Verdict::kAllow, false},
      {"https://b.example", Verdict::kDeny, true},
      {"https://c.example", Verdict::kAllow, true},
      {"https://d.example", Verdict::kUnknown, false},
  };
  for (const Case& c : cases) {
    Decision d = Decide(c.origin, &error);
    EXPECT_EQ(d.verdict, c.verdict) << c.origin;
    EXPECT_EQ(d.byAdministrator, c.admin) << c.origin;
  }
  ASSERT_TRUE(EditOriginList(user, "https://a.example", Verdict::kUnknown, &error));
  EXPECT_EQ(Decide("https://a.example", &error).verdict, Verdict::kUnknown);
  // A broken administrator's file denies everyone rather than being ignored.
  std::ofstream(admin) << "garbage\n";
  EXPECT_EQ(Decide("https://d.example", &error).verdict, Verdict::kDeny);
  EXPECT_NE(error.find("line 1"), std::string::npos);
  fs::remove_all(dir);
  unsetenv("TOLMIX_ORIGINS");
  unsetenv("TOLMIX_ADMIN_ORIGINS");
}

TEST(OriginsTest, UnattendedConsentAnswersWithoutRemembering) {
  struct Case {
    const char* answer;
    const char* origin;
    bool allow;
  } cases[] = {
      {"allow", "https://a.example", true},
      {"deny", "https://a.example", false},
      {"allow:https://a.example,https://b.example:8443", "https://b.example:8443", true},
      {"allow:https://a.example", "https://b.example", false},
      {"yes", "https://a.example", false},
  };
  for (const Case& c : cases) {
    ConsentAnswer a = MakeUnattendedConsent(c.answer)->Ask(c.origin);
    EXPECT_EQ(a.allow, c.allow) << c.answer << " " << c.origin;
    EXPECT_FALSE(a.remember);
  }
}

TEST(OriginsTest, TheTerminalPromptShowsTheOriginAndReadsTheAnswer) {
  struct Case {
    const char* typed;
    bool allow, remember;
  } cases[] = {
      {"a\n", true, true}, {"what\nallow\n", true, true}, {"o\n", true, false},
      {"d\n", false, true}, {"", false, false}, {"maybe", false, false},
  };
  for (const Case& c : cases) {
    std::string typed = c.typed;
    FILE* in = fmemopen(typed.data(), typed.size() + 1, "r");
    char* shown = nullptr;
    size_t shownSize = 0;
    FILE* out = open_memstream(&shown, &shownSize);
    ConsentAnswer a = MakeTerminalConsent(in, out)->Ask("https://www.example.cn");
    fclose(in);
    fclose(out);
    EXPECT_EQ(a.allow, c.allow) << c.typed;
    EXPECT_EQ(a.remember, c.remember) << c.typed;
    EXPECT_NE(std::string(shown).find("https://www.example.cn"), std::string::npos);
    free(shown);
  }
}

TEST(PeerUserTest, ALoopbackPeerIsFoundWithItsUser) {
  int server = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(server, 1), 0);
  socklen_t len = sizeof at;
  getsockname(server, reinterpret_cast<sockaddr*>(&at), &len);
  int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  sockaddr_in peer{}, local{};
  len = sizeof peer;
  int conn = accept(server, reinterpret_cast<sockaddr*>(&peer), &len);
  len = sizeof local;
  getsockname(conn, reinterpret_cast<sockaddr*>(&local), &len);
  std::optional<uid_t> uid = PeerUid(local, peer);
  ASSERT_TRUE(uid.has_value());
  EXPECT_EQ(*uid, getuid());
  // The same lookup over a table in which another user owns the peer's
  // socket, once as IPv4 and once as IPv4-mapped IPv6.
  char row4[256], row6[256];
  snprintf(row4, sizeof row4,
           "  sl  local_address rem_address   st\n"
           "   0: %08X:%04X %08X:%04X 01 00000000:00000000 00:00000000 00000000  4242 0 1\n",
           peer.sin_addr.s_addr, ntohs(peer.sin_port), local.sin_addr.s_addr, ntohs(local.sin_port));
  snprintf(row6, sizeof row6,
           "   1: 0000000000000000%08X%08X:%04X 0000000000000000%08X%08X:%04X 01 0:0 0:0 0  4343 0 1\n",
           htonl(0xFFFF), peer.sin_addr.s_addr, ntohs(peer.sin_port), htonl(0xFFFF),
           local.sin_addr.s_addr, ntohs(local.sin_port));
  EXPECT_EQ(FindPeerUid(row4, local, peer), std::optional<uid_t>(4242));
  EXPECT_EQ(FindPeerUid(row6, local, peer), std::optional<uid_t>(4343));
  // Our own end (local and remote the other way round) is not the peer.
  EXPECT_EQ(FindPeerUid(row4, peer, local), std::nullopt);
  // A socket nobody holds any more (inode 0, FIN-WAIT-2 or TIME-WAIT) is
  // listed as user 0's: its owner cannot be read.
  for (const char* state : {"05", "06"}) {
    char rest[256];
    snprintf(rest, sizeof rest,
             "   0: %08X:%04X %08X:%04X %s 00000000:00000000 00:00000000 00000000     0 0 0\n",
             peer.sin_addr.s_addr, ntohs(peer.sin_port), local.sin_addr.s_addr, ntohs(local.sin_port),
             state);
    EXPECT_EQ(FindPeerUid(rest, local, peer), std::nullopt) << state;
  }
  // The real thing: the peer sends and closes at once.  Its socket lingers
  // in FIN-WAIT-2 and then TIME-WAIT, which the kernel reports as user 0's;
  // the lookup says it cannot tell.
  ASSERT_EQ(write(client, "x", 1), 1);
  close(client);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(PeerUid(local, peer), std::nullopt) << "after " << i * 10 << " ms";
    usleep(10000);
  }
  close(conn);  // and TIME-WAIT on our side: the peer's end is gone for good
  EXPECT_EQ(PeerUid(local, peer), std::nullopt);
  close(server);
}

// The bridge also listens on ::1 ("localhost" leads there first).
TEST(PeerUserTest, AnIpv6LoopbackPeerIsFoundWithItsUser) {
  int server = socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 at{};
  at.sin6_family = AF_INET6;
  at.sin6_addr = in6addr_loopback;
  if (server < 0 || bind(server, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    if (server >= 0) close(server);
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  ASSERT_EQ(listen(server, 1), 0);
  socklen_t len = sizeof at;
  getsockname(server, reinterpret_cast<sockaddr*>(&at), &len);
  int client = socket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  sockaddr_in6 peer{}, local{};
  len = sizeof peer;
  int conn = accept(server, reinterpret_cast<sockaddr*>(&peer), &len);
  len = sizeof local;
  getsockname(conn, reinterpret_cast<sockaddr*>(&local), &len);
  EXPECT_EQ(PeerUid(local, peer), std::optional<uid_t>(getuid()));
  // ::1 as tcp6 prints it, the peer's socket owned by another user.
  char row[256];
  snprintf(row, sizeof row,
           "   0: 00000000000000000000000001000000:%04X 00000000000000000000000001000000:%04X"
           " 01 0:0 0:0 0  4444 0 1\n",
           ntohs(peer.sin6_port), ntohs(local.sin6_port));
  EXPECT_EQ(FindPeerUid(row, local, peer), std::optional<uid_t>(4444));
  EXPECT_EQ(FindPeerUid(row, peer, local), std::nullopt);
  close(conn);
  close(client);
  close(server);
}

}  // namespace
}  // namespace tolmix::bridge
