#pragma once

#include <string>
#include <vector>

#include "SkySettings.h"

// What one skysim invocation asked for.
struct SkySimCommand {
    SkySimSettings settings;
    OutputSettings output;
    bool helpRequested = false;
};

// Parses the arguments after the program name; a later repetition of an
// option overrides an earlier one, and -h or --help asks for the usage alone.
// Throws std::invalid_argument for an unknown option ("Unknown option:
// --x"), a missing value ("Missing value for --frames"), a value that is not
// wholly a number or a known word ("Invalid value for --frames: 'ten'"),
// settings out of range (validate()) and a missing --out.
SkySimCommand parseSkySimOptions(const std::vector<std::string>& args);

// Every option with its default.
std::string skySimUsage();
