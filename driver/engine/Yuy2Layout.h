// Yuy2Layout: biBitCount 16, YUY2; pool tag IsyY.
#pragma once

#include "driver/engine/PixelLayout.h"

class Yuy2Layout final : public PixelLayout {
  public:
    float BytesPerPixel() const override;
};
