#pragma once

#include "SkySimulator.h"

// What the best possible registration would reach on a simulated sequence,
// to read the measured corner errors against. Every star bright enough to be
// found (signal-to-noise 5 and up on the grey frame) is paired with its true
// counterpart; each centroid is off by Gaussian noise of the least deviation
// its light allows (the Cramer-Rao bound for the star's profile over the
// sky's shot noise, read noise and 8-bit steps, saturated pixels carrying no
// position); and a similarity is fitted with inverse-variance weights. The
// reference frame's centroid noise is drawn once per trial and shared by all
// frames, as it is when every frame is registered onto frame 1. Grey is
// OpenCV's BGR-to-grey mix; the sky is taken without nebula. JPEG's loss is
// left out, so the limit is a little low.
struct CornerErrorLimit {
    double median = 0.0;  // of the frames' worst corner errors, averaged over the trials
    double worst = 0.0;   // the largest of them, averaged over the trials
};

// Frames 2 to frames, each against frame 1, over the given number of trials.
CornerErrorLimit cornerErrorLimit(const SkySimulator& sky, int frames, int trials);
