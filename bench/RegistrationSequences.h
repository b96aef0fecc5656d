#pragma once

#include <functional>
#include <string>
#include <vector>

#include "SkySettings.h"

// The simulated sequences registration is measured on, each a change to a
// base sky: drift with rotation, a meridian flip, dense and sparse fields, a
// mirrored frame and heavy noise.
struct RegistrationSequence {
    std::string name;
    std::function<void(SkySimSettings&)> configure;
};

inline std::vector<RegistrationSequence> registrationSequences()
{
    return {
        {"shift <= 40 px, rotation to 1.9 deg", [](SkySimSettings& s) {
             s.motion.shiftMax = 40.0;
             s.motion.rotationPerFrame = 0.1;
         }},
        {"180-degree turn from frame 10", [](SkySimSettings& s) {
             s.motion.shiftMax = 10.0;
             s.motion.flipAtFrame = 10;
         }},
        {"dense field, 2000 stars", [](SkySimSettings& s) {
             s.starField.starsPerFrame = 2000;
             s.motion.shiftMax = 20.0;
             s.motion.rotationPerFrame = 0.05;
         }},
        {"sparse field, 30 stars", [](SkySimSettings& s) {
             s.starField.starsPerFrame = 30;
             s.motion.shiftMax = 20.0;
             s.motion.rotationPerFrame = 0.05;
         }},
        {"mirror flip", [](SkySimSettings& s) {
             s.motion.shiftMax = 10.0;
             s.motion.mirrorAtFrame = 2;
         }},
        {"heavy noise (read noise 15)", [](SkySimSettings& s) {
             s.noise.readNoise = 15.0;
             s.motion.shiftMax = 20.0;
             s.motion.rotationPerFrame = 0.05;
         }},
    };
}
