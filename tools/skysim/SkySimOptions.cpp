#include "SkySimOptions.h"

#include <charconv>
#include <cmath>
#include <map>
#include <sstream>
#include <stdexcept>
#include <type_traits>

namespace {

using Command = SkySimCommand;
using Text = std::string;
using Setter = void (*)(Command&, const Text& option, const Text& value);

[[noreturn]] void invalidValue(const Text& option, const Text& value)
{
    throw std::invalid_argument("Invalid value for " + option + ": '" + value + "'");
}

// The whole text must be the number: from_chars alone would take "12px" as 12.
template <typename Number>
Number parseNumber(const Text& option, const Text& text)
{
    Number value{};
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end)
        invalidValue(option, text);
    if constexpr (std::is_floating_point_v<Number>) {
        if (!std::isfinite(value))
            invalidValue(option, text);
    }
    return value;
}

int toInt(const Text& option, const Text& text) { return parseNumber<int>(option, text); }
double toReal(const Text& option, const Text& text) { return parseNumber<double>(option, text); }

FrameFormat toFormat(const Text& option, const Text& text)
{
    if (text == "jpg" || text == "jpeg")
        return FrameFormat::Jpeg;
    if (text == "fits" || text == "fit")
        return FrameFormat::Fits;
    if (text == "fits16")
        return FrameFormat::Fits16;
    invalidValue(option, text);
}

const std::map<Text, Setter>& valueOptions()
{
    static const std::map<Text, Setter> options{
        {"--out", [](Command& c, const Text&, const Text& v) { c.output.directory = v; }},
        {"--format", [](Command& c, const Text& o, const Text& v) { c.output.format = toFormat(o, v); }},
        {"--exposure", [](Command& c, const Text& o, const Text& v) { c.output.exposureSeconds = toReal(o, v); }},
        {"--frames", [](Command& c, const Text& o, const Text& v) { c.settings.frames = toInt(o, v); }},
        {"--width", [](Command& c, const Text& o, const Text& v) { c.settings.width = toInt(o, v); }},
        {"--height", [](Command& c, const Text& o, const Text& v) { c.settings.height = toInt(o, v); }},
        {"--channels", [](Command& c, const Text& o, const Text& v) { c.settings.channels = toInt(o, v); }},
        {"--seed", [](Command& c, const Text& o, const Text& v) { c.settings.seed = parseNumber<std::uint64_t>(o, v); }},
        {"--stars", [](Command& c, const Text& o, const Text& v) { c.settings.starField.starsPerFrame = toInt(o, v); }},
        {"--fwhm", [](Command& c, const Text& o, const Text& v) { c.settings.starField.fwhm = toReal(o, v); }},
        {"--beta", [](Command& c, const Text& o, const Text& v) { c.settings.starField.beta = toReal(o, v); }},
        {"--flux-scale", [](Command& c, const Text& o, const Text& v) { c.settings.starField.faintestFlux = toReal(o, v); }},
        {"--flux-slope", [](Command& c, const Text& o, const Text& v) { c.settings.starField.fluxSlope = toReal(o, v); }},
        {"--sky", [](Command& c, const Text& o, const Text& v) { c.settings.background.sky = toReal(o, v); }},
        {"--gradient", [](Command& c, const Text& o, const Text& v) { c.settings.background.gradient = toReal(o, v); }},
        {"--gradient-angle", [](Command& c, const Text& o, const Text& v) { c.settings.background.gradientAngle = toReal(o, v); }},
        {"--nebula", [](Command& c, const Text& o, const Text& v) { c.settings.background.nebula = toReal(o, v); }},
        {"--nebula-size", [](Command& c, const Text& o, const Text& v) { c.settings.background.nebulaSize = toReal(o, v); }},
        {"--vignetting", [](Command& c, const Text& o, const Text& v) { c.settings.noise.vignetting = toReal(o, v); }},
        {"--read-noise", [](Command& c, const Text& o, const Text& v) { c.settings.noise.readNoise = toReal(o, v); }},
        {"--gain", [](Command& c, const Text& o, const Text& v) { c.settings.noise.gain = toReal(o, v); }},
        {"--hot-pixels", [](Command& c, const Text& o, const Text& v) { c.settings.noise.hotPixels = toInt(o, v); }},
        {"--drift-x", [](Command& c, const Text& o, const Text& v) { c.settings.motion.driftX = toReal(o, v); }},
        {"--drift-y", [](Command& c, const Text& o, const Text& v) { c.settings.motion.driftY = toReal(o, v); }},
        {"--shift-max", [](Command& c, const Text& o, const Text& v) { c.settings.motion.shiftMax = toReal(o, v); }},
        {"--rotation-per-frame", [](Command& c, const Text& o, const Text& v) { c.settings.motion.rotationPerFrame = toReal(o, v); }},
        {"--flip-at", [](Command& c, const Text& o, const Text& v) { c.settings.motion.flipAtFrame = toInt(o, v); }},
    };
    return options;
}

// Options without a value; false for any other text.
bool applyFlag(Command& command, const Text& option)
{
    if (option == "-h" || option == "--help")
        command.helpRequested = true;
    else if (option == "--mirror")
        command.settings.motion.mirrorAtFrame = 2;
    else if (option == "--truth-per-frame")
        command.output.truthPerFrame = true;
    else
        return false;
    return true;
}

}  // namespace

SkySimCommand parseSkySimOptions(const std::vector<std::string>& args)
{
    Command command;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const Text& option = args[i];
        if (applyFlag(command, option))
            continue;
        const auto found = valueOptions().find(option);
        if (found == valueOptions().end())
            throw std::invalid_argument("Unknown option: " + option);
        if (i + 1 == args.size())
            throw std::invalid_argument("Missing value for " + option);
        found->second(command, option, args[++i]);
    }
    if (command.helpRequested)
        return command;
    if (command.output.directory.empty())
        throw std::invalid_argument("--out DIR is required");
    validate(command.settings);
    validate(command.output);
    return command;
}

std::string skySimUsage()
{
    const SkySimSettings d;
    const OutputSettings o;
    const StarFieldSettings& star = d.starField;
    const BackgroundSettings& sky = d.background;
    std::ostringstream u;
    u << "Usage: skysim --out DIR [options]\n"
         "Simulates a sequence of sky frames, reproducible from the seed, with its ground truth.\n"
         "\n"
         "Frames and files:\n"
         "  --out DIR                  directory for the files, created if missing (required)\n"
      << "  --frames N                 number of frames (default " << d.frames << ")\n"
      << "  --width W, --height H      frame size in pixels (default " << d.width << "x" << d.height << ")\n"
      << "  --channels 1|3             grey or colour (default " << d.channels << ")\n"
      << "  --format jpg|fits|fits16   frame files (default jpg); jpg and fits are 8-bit\n"
         "                             fits16: a camera's 16-bit FITS, one plane (colour as its RGGB\n"
         "                             Bayer mosaic), with EXPTIME, DATE-OBS and BAYERPAT\n"
      << "  --exposure SECONDS         exposure time of each frame in the fits16 header (default "
      << o.exposureSeconds << ")\n"
      << "  --seed S                   random seed (default " << d.seed << ")\n"
      << "  --truth-per-frame          also write each frame's noise-free sky, truth_NNNN.fits\n"
         "\n"
         "Brightness is in ADU of the frames written: 0..255 for jpg and fits, 0..65535 for fits16.\n"
         "\n"
         "Stars:\n"
      << "  --stars N                  stars over one frame's area (default " << star.starsPerFrame << ")\n"
      << "  --fwhm F                   Moffat full width at half maximum, pixels (default " << star.fwhm << ")\n"
      << "  --beta B                   Moffat exponent, above 1 (default " << star.beta << ")\n"
      << "  --flux-scale X             flux of the faintest star (default " << star.faintestFlux << ")\n"
      << "  --flux-slope S             power law of fluxes, N(>F) ~ F^-S (default " << star.fluxSlope << ")\n"
         "\n"
         "Background:\n"
      << "  --sky LEVEL                constant sky level (default " << sky.sky << ")\n"
      << "  --gradient AMPLITUDE       rise of the sky across the frame (default " << sky.gradient << ")\n"
      << "  --gradient-angle DEG       direction it rises to, 0 = +x, 90 = +y (default " << sky.gradientAngle << ")\n"
      << "  --nebula AMPLITUDE         peak of a diffuse nebula, 0 for none (default " << sky.nebula << ")\n"
      << "  --nebula-size PX           its size as a standard deviation (default " << sky.nebulaSize << ")\n"
         "\n"
         "Sensor:\n"
      << "  --vignetting V             light lost at the corners, 0..1 (default " << d.noise.vignetting << ")\n"
      << "  --read-noise SIGMA         read noise (default " << d.noise.readNoise << ")\n"
      << "  --gain G                   shot-noise variance per ADU of signal (default " << d.noise.gain << ")\n"
      << "  --hot-pixels N             pixels that read high in every frame (default " << d.noise.hotPixels << ")\n"
         "\n"
         "Motion, relative to frame 1:\n"
         "  --drift-x PX, --drift-y PX shift per frame (default 0)\n"
         "  --shift-max PX             random-walk shift, at most PX on each axis (default 0)\n"
         "  --rotation-per-frame DEG   rotation about the frame centre per frame (default 0)\n"
         "  --flip-at FRAME            turn by 180 degrees from this frame on, like a meridian flip\n"
         "  --mirror                   mirror left to right every frame after the first\n"
         "\n"
         "Files written: frame_NNNN.jpg|fits, sky_truth.fits (noise-free frame 1 as float, in colour\n"
         "even for a mosaic) and transforms.txt: per frame its file name and the 3x3 matrix, row by\n"
         "row, mapping its pixel coordinates to those of frame 1 (pixel centres at whole numbers).\n";
    return u.str();
}
