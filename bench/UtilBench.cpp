// Base64 codec and INI reader against their references: OpenSSL's block
// functions (EVP_EncodeBlock / EVP_DecodeBlock, one line, no breaks, as our
// codec) and one plain line-by-line read of the same file.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "util/Base64.h"
#include "util/IniReader.h"

namespace tolmix::bench {
namespace {

std::vector<unsigned char> Bytes(size_t n) {
  std::vector<unsigned char> v(n);
  uint32_t x = 2463534242u;
  for (auto& b : v) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<unsigned char>(x);
  }
  return v;
}

void SetBytes(benchmark::State& state, size_t n) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

void BM_Base64Encode(benchmark::State& state) {
  PeakScope peak(state);
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<unsigned char> in = Bytes(n);
  std::vector<char> out(static_cast<size_t>(Base64EncodedLength(static_cast<int>(n))) + 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(Base64Encode(out.data(), in.data(), static_cast<int>(n)));
    benchmark::ClobberMemory();
  }
  SetBytes(state, n);
}

void BM_EVP_EncodeBlock(benchmark::State& state) {
  PeakScope peak(state);
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<unsigned char> in = Bytes(n);
  std::vector<unsigned char> out((n + 2) / 3 * 4 + 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_EncodeBlock(out.data(), in.data(), static_cast<int>(n)));
    benchmark::ClobberMemory();
  }
  SetBytes(state, n);
}

// The Base64 text of N bytes, one line (what both decoders take).
std::string Text(size_t n) {
  std::vector<unsigned char> in = Bytes(n);
  std::string text(static_cast<size_t>(Base64EncodedLength(static_cast<int>(n))) + 1, '\0');
  text.resize(static_cast<size_t>(Base64Encode(text.data(), in.data(), static_cast<int>(n))));
  return text;
}

void BM_Base64Decode(benchmark::State& state) {
  PeakScope peak(state);
  const size_t n = static_cast<size_t>(state.range(0));
  std::string text = Text(n);
  std::vector<unsigned char> out(text.size());
  unsigned len = 0;
  for (auto _ : state) {
    if (Base64Decode(out.data(), text.c_str(), &len) != 0 || len != n) {
      state.SkipWithError("decoding failed");
      break;
    }
    benchmark::ClobberMemory();
  }
  SetBytes(state, n);
}

void BM_EVP_DecodeBlock(benchmark::State& state) {
  PeakScope peak(state);
  const size_t n = static_cast<size_t>(state.range(0));
  std::string text = Text(n);
  std::vector<unsigned char> out(text.size());
  for (auto _ : state) {
    int r = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (r < static_cast<int>(n)) {
      state.SkipWithError("decoding failed");
      break;
    }
    benchmark::ClobberMemory();
  }
  SetBytes(state, n);
}

BENCHMARK(BM_Base64Encode)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK(BM_EVP_EncodeBlock)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK(BM_Base64Decode)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK(BM_EVP_DecodeBlock)->Arg(1 << 10)->Arg(1 << 20);

// A device list file of 64 devices, with comments and blanks as people
// write them.
const std::string& DeviceListFile() {
  static const std::string path = [] {
    std::string p = ScratchPath("P11_SKF.ini");
    FILE* f = fopen(p.c_str(), "w");
    if (!f) return p;
    fprintf(f, "; device list\n[DeviceCount]\nDeviceCount = 64\n\n");
    for (int i = 1; i <= 64; ++i) {
      fprintf(f, "[Device_%d]\n; vendor %d\nDLLName = \"libvendor%02d_pkcs11.so\"\n\n", i, i, i);
    }
    fclose(f);
    return p;
  }();
  return path;
}

// The last device's name: the reader scans the whole file for it.
void BM_ReadIniString(benchmark::State& state) {
  PeakScope peak(state);
  const std::string& path = DeviceListFile();
  char out[kDllNameSize];
  for (auto _ : state) {
    if (ReadIniString("Device_64", "DLLName", "", out, sizeof out, path.c_str()) == 0) {
      state.SkipWithError("value not found");
      break;
    }
  }
}

// Reference: opening the same file and reading every line once.
void BM_ReadLines(benchmark::State& state) {
  PeakScope peak(state);
  const std::string& path = DeviceListFile();
  char line[512];
  for (auto _ : state) {
    FILE* f = fopen(path.c_str(), "r");
    int lines = 0;
    while (f && fgets(line, sizeof line, f)) ++lines;
    if (f) fclose(f);
    benchmark::DoNotOptimize(lines);
  }
}

// The whole list as the device readers read it: one scan per value.
void BM_ReadDeviceListFile(benchmark::State& state) {
  PeakScope peak(state);
  const std::string& path = DeviceListFile();
  for (auto _ : state) {
    if (ReadDeviceListFile(path.c_str()).size() != 64) {
      state.SkipWithError("wrong device count");
      break;
    }
  }
}

BENCHMARK(BM_ReadIniString);
BENCHMARK(BM_ReadLines);
BENCHMARK(BM_ReadDeviceListFile);

}  // namespace
}  // namespace tolmix::bench
