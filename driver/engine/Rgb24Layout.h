// Rgb24Layout: biBitCount 24, BI_RGB; pool tag IsyR.
#pragma once

#include "driver/engine/PixelLayout.h"

class Rgb24Layout final : public PixelLayout {
  public:
    float BytesPerPixel() const override;
};
