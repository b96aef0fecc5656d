#include "stacking/ImageStacker.h"

ImageStacker::ImageStacker() : settings_(std::make_shared<StackerSettings>()) {}
