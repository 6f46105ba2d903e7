// The control's visible parts on this platform:
//  - `tolmix draw WIDTH HEIGHT OUT.png` writes what the control draws in
//    bounds of that size (control/Drawing.h) as a PNG file;
//  - `tolmix properties` shows the control's property page: it creates the
//    page class that the registry names, through its class factory, and
//    prints its dialog template as text.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "control/Drawing.h"
#include "control/Guids.h"
#include "control/PropPage.h"
#include "host/Activation.h"
#include "host/Commands.h"
#include "host/DrawCommand.h"

namespace tolmix::host {

const char kDrawUsage[] = "draw WIDTH HEIGHT OUT.png";
const char kPropertiesUsage[] = "properties";

namespace {

constexpr int kMaxSide = 4096;

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PutBe32(std::string* out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<char>(v >> shift));
}

void Chunk(std::string* png, const char type[5], const std::string& data) {
  PutBe32(png, static_cast<uint32_t>(data.size()));
  std::string body = std::string(type, 4) + data;
  png->append(body);
  PutBe32(png, Crc32(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
}

// PNG (RFC 2083) of P: 8-bit RGB, no filtering, the image data in a zlib
// stream of stored deflate blocks (no compression library needed).
std::string EncodePng(const control::Picture& p) {
  std::string raw;
  const size_t row = static_cast<size_t>(p.width) * 3;
  for (int y = 0; y < p.height; ++y) {
    raw.push_back(0);  // filter type None
    raw.append(reinterpret_cast<const char*>(p.rgb.data()) + y * row, row);
  }
  std::string z = "\x78\x01";
  uint32_t a = 1, b = 0;  // Adler-32
  for (unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  size_t at = 0;
  do {
    size_t n = raw.size() - at < 65535 ? raw.size() - at : 65535;
    z.push_back(at + n == raw.size() ? 1 : 0);  // BFINAL on the last block, type stored
    z.push_back(static_cast<char>(n & 0xFF));
    z.push_back(static_cast<char>(n >> 8));
    z.push_back(static_cast<char>(~n & 0xFF));
    z.push_back(static_cast<char>((~n >> 8) & 0xFF));
    z.append(raw, at, n);
    at += n;
  } while (at < raw.size());
  PutBe32(&z, (b << 16) | a);

  std::string ihdr;
  PutBe32(&ihdr, static_cast<uint32_t>(p.width));
  PutBe32(&ihdr, static_cast<uint32_t>(p.height));
  ihdr += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter, no interlace
  std::string png = "\x89PNG\r\n\x1A\n";
  Chunk(&png, "IHDR", ihdr);
  Chunk(&png, "IDAT", z);
  Chunk(&png, "IEND", std::string());
  return png;
}

bool ParseSide(const char* text, int* out) {
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < 1 || v > kMaxSide) return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace

int RunDraw(std::span<const char* const> args) {
  int width = 0, height = 0;
  if (args.size() != 3 || !ParseSide(args[0], &width) || !ParseSide(args[1], &height)) {
    fprintf(stderr, "usage: tolmix %s (sides 1 to %d pixels)\n", kDrawUsage, kMaxSide);
    return kExitUsage;
  }
  std::string png = EncodePng(control::DrawControl(width, height));
  FILE* f = fopen(args[2], "wb");
  bool ok = f != nullptr && fwrite(png.data(), 1, png.size(), f) == png.size();
  if (f != nullptr && fclose(f) != 0) ok = false;
  if (!ok) {
    fprintf(stderr, "tolmix: cannot write %s\n", args[2]);
    return kExitFailed;
  }
  return kExitOk;
}

int RunProperties(std::span<const char* const> args) {
  if (!args.empty()) {
    fprintf(stderr, "usage: tolmix %s\n", kPropertiesUsage);
    return kExitUsage;
  }
  control::ITolmixPropertyPage* page = nullptr;
  std::string error;
  platform::HRESULT hr =
      CreateObjectByClsid(control::CLSID_TOLMIXPropPage, control::IID_ITolmixPropertyPage,
                          reinterpret_cast<void**>(&page), &error);
  if (platform::Failed(hr)) {
    fprintf(stderr, "tolmix: the property page: %s\n", error.c_str());
    return kExitFailed;
  }
  const control::PropPageTemplate* t = nullptr;
  hr = page->GetTemplate(&t);
  if (platform::Succeeded(hr)) {
    printf("[%s]  dialog %d, %d x %d dialog units, %s %d pt\n\n%s\n", t->caption, t->id, t->cx,
           t->cy, t->font, t->pointSize, t->staticText);
  }
  page->Release();
  return platform::Succeeded(hr) ? kExitOk : kExitFailed;
}

}  // namespace tolmix::host
