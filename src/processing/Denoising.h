#pragma once

// Filter parameters of ImageStacker::applyDenoising for a strength of 1..30.

// Non-local means filter strength h = (strength - 1) * 0.6 + 3 in single
// precision: 3 at 1, 8.4 at 10, 20.4 at 30.
float nonLocalMeansH(int strength);

struct BilateralSigmas {
    double color;  // strength + 5
    double space;  // strength * 0.5 + 5
};
BilateralSigmas bilateralSigmas(int strength);
