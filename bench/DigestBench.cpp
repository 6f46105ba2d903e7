// ComputeDigest, as the control runs it (a fresh engine per call), against
// the same digest done directly with EVP and encoded with EVP_EncodeBlock.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <cstdint>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/CMSEngine.h"

namespace tolmix::bench {
namespace {

const EVP_MD* Md(int code) {
  switch (code) {
    case 3: return EVP_sha1();
    case 5: return EVP_sha256();
    default: return EVP_sha512();
  }
}

const std::vector<char>& Data(size_t n) {
  static std::vector<char> data;
  if (data.size() < n) {
    data.resize(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<char>('a' + i % 26);
  }
  return data;
}

void SetBytes(benchmark::State& state, size_t n) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

// Arguments: code, size.
void BM_ComputeDigest(benchmark::State& state) {
  PeakScope peak(state);
  const int16_t code = static_cast<int16_t>(state.range(0));
  const size_t n = static_cast<size_t>(state.range(1));
  const std::vector<char>& data = Data(n);
  char out[CMSEngine::kDigestTextSize];
  for (auto _ : state) {
    CMSEngine engine;
    unsigned len = 0;
    if (engine.ComputeDigest(data.data(), static_cast<int>(n), code, out, &len) != 0) {
      state.SkipWithError("digest failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
  SetBytes(state, n);
}

void BM_EVP_Digest(benchmark::State& state) {
  PeakScope peak(state);
  const EVP_MD* md = Md(static_cast<int>(state.range(0)));
  const size_t n = static_cast<size_t>(state.range(1));
  const std::vector<char>& data = Data(n);
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned char text[CMSEngine::kDigestTextSize];
  for (auto _ : state) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned len = 0;
    if (!ctx || !EVP_DigestInit_ex(ctx, md, nullptr) || !EVP_DigestUpdate(ctx, data.data(), n) ||
        !EVP_DigestFinal_ex(ctx, value, &len)) {
      state.SkipWithError("digest failed");
      EVP_MD_CTX_free(ctx);
      break;
    }
    EVP_MD_CTX_free(ctx);
    benchmark::DoNotOptimize(EVP_EncodeBlock(text, value, static_cast<int>(len)));
  }
  SetBytes(state, n);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int code : {3, 5, 7}) {
    for (int size : {1 << 10, 16 << 20}) b->Args({code, size});
  }
}

BENCHMARK(BM_ComputeDigest)->Apply(Sizes);
BENCHMARK(BM_EVP_Digest)->Apply(Sizes);

}  // namespace
}  // namespace tolmix::bench
