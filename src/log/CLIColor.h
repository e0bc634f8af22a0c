#pragma once
// A colour as red, green, blue and alpha fractions from 0 to 1, for consoles that pick their
// escape codes by colour.
namespace quarra {

class CLIColor {
  public:
    constexpr CLIColor() = default;
    static constexpr CLIColor colorWithCalibratedRed(double red, double green, double blue,
                                                     double alpha) {
        CLIColor color;
        color.red_ = red;
        color.green_ = green;
        color.blue_ = blue;
        color.alpha_ = alpha;
        return color;
    }
    // Components given as 0 to 255, fully opaque.
    static constexpr CLIColor colorWithRGB255(int red, int green, int blue) {
        return colorWithCalibratedRed(red / 255.0, green / 255.0, blue / 255.0, 1.0);
    }

    // Stores each component into its pointer; a null pointer is skipped.
    constexpr void getRed(double* red, double* green, double* blue, double* alpha) const {
        if (red) {
            *red = red_;
        }
        if (green) {
            *green = green_;
        }
        if (blue) {
            *blue = blue_;
        }
        if (alpha) {
            *alpha = alpha_;
        }
    }

  private:
    double red_ = 0;
    double green_ = 0;
    double blue_ = 0;
    double alpha_ = 0;
};

}  // namespace quarra
