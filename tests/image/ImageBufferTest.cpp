#include <gtest/gtest.h>

#include "image/ImageBuffer.h"
