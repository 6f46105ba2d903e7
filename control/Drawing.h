// The control's drawing: asked to draw into its bounds, it fills them with
// the stock white brush and draws an ellipse inscribed in them with the
// default pen (black, one pixel) and brush (white).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolmix::control {

// An RGB picture, 3 bytes a pixel, rows top to bottom.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};

// Draws the control into a WIDTH x HEIGHT picture (both at least 1).
Picture DrawControl(int width, int height);

}  // namespace tolmix::control
