// I420Layout: biBitCount 12, I420 (planar, 1.5 bytes per pixel on average); pool tag IsyY.
#pragma once

#include "driver/engine/PixelLayout.h"

class I420Layout final : public PixelLayout {
  public:
    float BytesPerPixel() const override;
};
