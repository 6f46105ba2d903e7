#include "control/Drawing.h"

namespace tolmix::control {
namespace {

// True when the centre of pixel (X, Y) lies inside the ellipse inscribed in
// the W x H bounds; pixels outside the bounds are outside.
bool Inside(int x, int y, int w, int h) {
  if (x < 0 || y < 0 || x >= w || y >= h) return false;
  double dx = (x + 0.5 - w / 2.0) / (w / 2.0);
  double dy = (y + 0.5 - h / 2.0) / (h / 2.0);
  return dx * dx + dy * dy <= 1.0;
}

}  // namespace

Picture DrawControl(int width, int height) {
  Picture p;
  p.width = width;
  p.height = height;
  p.rgb.assign(static_cast<size_t>(width) * height * 3, 0xFF);  // white fill
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      // The outline: pixels inside the ellipse with a neighbour outside it.
      bool edge = Inside(x, y, width, height) &&
                  (!Inside(x - 1, y, width, height) || !Inside(x + 1, y, width, height) ||
                   !Inside(x, y - 1, width, height) || !Inside(x, y + 1, width, height));
      if (edge) {
        size_t at = (static_cast<size_t>(y) * width + x) * 3;
        p.rgb[at] = p.rgb[at + 1] = p.rgb[at + 2] = 0;
      }
    }
  }
  return p;
}

}  // namespace tolmix::control
