#include "platform/DynamicLibrary.h"

#include <gtest/gtest.h>

#include <utility>

namespace tolmix::platform {
namespace {

using CosFn = double (*)(double);

TEST(DynamicLibraryTest, LoadsAndResolves) {
  DynamicLibrary lib;
  ASSERT_TRUE(lib.Load("libm.so.6")) << lib.Error();
  EXPECT_TRUE(lib.IsLoaded());
  auto cosFn = lib.Resolve<CosFn>("cos");
  ASSERT_NE(cosFn, nullptr);
  EXPECT_EQ(cosFn(0.0), 1.0);
  EXPECT_EQ(lib.Symbol("no_such_symbol_here"), nullptr);
  EXPECT_EQ(lib.Symbol(nullptr), nullptr);

  DynamicLibrary moved(std::move(lib));
  EXPECT_FALSE(lib.IsLoaded());
  EXPECT_EQ(lib.Symbol("cos"), nullptr);
  EXPECT_NE(moved.Symbol("cos"), nullptr);

  DynamicLibrary assigned;
  assigned = std::move(moved);
  EXPECT_FALSE(moved.IsLoaded());
  EXPECT_NE(assigned.Symbol("cos"), nullptr);
  assigned.Unload();
  EXPECT_FALSE(assigned.IsLoaded());
  EXPECT_EQ(assigned.Symbol("cos"), nullptr);
}

TEST(DynamicLibraryTest, ReportsFailure) {
  DynamicLibrary lib;
  ASSERT_TRUE(lib.Load("libm.so.6"));
  EXPECT_FALSE(lib.Load("/nonexistent/libnothing.so"));
  EXPECT_FALSE(lib.IsLoaded());  // the earlier library was unloaded first
  EXPECT_NE(lib.Error().find("libnothing.so"), std::string::npos) << lib.Error();
  EXPECT_FALSE(lib.Load(""));
  EXPECT_FALSE(lib.Error().empty());
  ASSERT_TRUE(lib.Load("libm.so.6"));
  EXPECT_TRUE(lib.Error().empty());
}

}  // namespace
}  // namespace tolmix::platform
