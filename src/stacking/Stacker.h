#pragma once

// How failures travel through the engine:
// - Inside the engine and the image layer a failure is an exception whose
//   text says what failed and on which file: std::runtime_error for files and
//   processing, std::invalid_argument for impossible dimensions,
//   std::out_of_range for coordinates. A C library's error (libjpeg, CFITSIO,
//   GSL) becomes such an exception where the call is made.
// - The Stacker's operations catch at their boundary, keep the message in
//   lastError() and return false; its setters never fail and clamp instead.
// - The command line turns false into one error line and exit status 1.
// Two departures, both deliberate: alignment never fails outward (it falls
// back to the next method, finally to an unaligned copy), and optional work
// (diagnostic images) logs its own failure and goes on. FITSData, a Qt object
// over CFITSIO, returns bool and keeps the reason in its own member.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "alignment/Registration.h"
#include "image/BayerMosaic.h"
#include "image/ImageBuffer.h"
#include "stacking/StackerSettings.h"

class FrameAhead;
struct CameraFrame;
struct ClipBounds;
struct FrameHeader;
struct SidecarValues;

enum class StackingMethod { Mean = 0, Median = 1, SigmaClip = 2 };

// What the user asked for: how frames are stacked, and the settings record
// every step reads (clamped by the setters below, defaults in
// StackerSettings).
struct StackerOptions {
    StackingMethod method = StackingMethod::Mean;
    bool darkSubtractionEnabled = false;
    bool alignmentEnabled = true;
    StackerSettings settings;
};

// The outcome of the nebulosity detection on a stack, kept with its state.
struct NebulosityCache {
    bool checked = false;
    bool detected = false;
    float score = 0.0f;
};

// What became of a state that was to be loaded.
enum class StateLoad {
    Loaded,
    Missing,   // no file at the path: a new stack starts
    SetAside,  // a file that is no state image, moved aside so a new stack can start
    Refused,   // a state that must not be replaced, and cannot be used: the run must stop
};

// The engine of one run: the user's options, the running stack (kept as an
// exact float mean) and the values kept in the state sidecar. Operations that
// can fail return false and keep the reason in lastError(); setters never fail.
class Stacker {
public:
    Stacker();
    ~Stacker();
    Stacker(const Stacker&) = delete;
    Stacker& operator=(const Stacker&) = delete;

    void setMethod(StackingMethod method);
    void setDarkSubtraction(bool enabled);
    void setAlignment(bool enabled);
    void setMaxStars(int count);                  // >= 3
    void setBackground(float percent);
    void setContrast(float percent);
    void setSaturation(float percent);
    void setCompression(float percent);
    // Sizes are made odd (an even size grows by one) and capped at the
    // largest kernel the median filter takes, with a warning.
    void setMedianFilter(int size);
    // The window is made odd and at least 3; disabled stores window 0.
    void setLocalHistEq(bool enabled, int window, float clip);
    void setDenoise(int method, int strength);
    void setSigmaClip(int frames, float low, float high);
    void setQualityThreshold(float threshold);
    void setPolyDegree(int degree);
    void setGridSize(int size);
    void setProtection(float threshold);
    void setSmoothness(float smoothness);
    void setBenchmark(bool enabled);
    void setDiagnostic(bool enabled, const std::string& prefix);

    // Calibration of every frame before it is debayered and registered:
    // the master dark is subtracted while dark subtraction is on, the master
    // flat (normalised to its mean) divided by, hot pixels replaced when a
    // sigma is set. Masters must have the frames' size and kind. False (with
    // the reason) when a master cannot be read.
    bool loadDarkFrame(const std::string& path);
    bool loadFlatFrame(const std::string& path);
    void setHotPixels(float sigma);
    void setDebayerMethod(DebayerMethod method);
    // Stretches an 8-bit stack's output picture as a linear stack's always is.
    void setAutoStretch(bool enabled);
    // The stack will be kept in the file at path. A JPEG file cannot hold a
    // linear stack, so processFrame then refuses a linear frame before
    // anything is written.
    void addStateFile(const std::string& path);
    // Starts reading the frame at path, calibrating it and, when a stack is
    // expected (a state to be loaded) and alignment is on, measuring its
    // stars, on a thread of its own, while the state is loaded. The next
    // processFrame of that path takes the result; the masters must be set
    // before.
    void readFrameAhead(const std::string& inputPath, bool stackExpected);
    // Makes the image at path the reference a fresh stack is registered onto
    // (debayered when it is a mosaic, not calibrated); it is not averaged in. False (with the reason) when it cannot be read.
    bool loadReferenceFrame(const std::string& path);
    // Drops the stack (frames, count, kind, stacked frame with its weights and
    // variance, reference frame); options, dark frame, orientation,
    // nebulosity cache and last error stay.
    void resetState();

    // Reads, calibrates and debayers the frame, registers it onto the
    // reference, folds it into the running mean and writes the output: the
    // post-processed picture, or for a linear stack and a FITS path the stack
    // itself with its header. The first frame sets the stack's kind (8-bit or
    // linear); a frame of the other kind is refused, the stack untouched.
    bool processFrame(const std::string& inputPath, const std::string& outputPath);
    // Combines the whole frame list with the chosen method (against the
    // reference frame, with the dark frame when dark subtraction is on) and
    // makes the result the stacked frame; the frame count is left alone.
    // False with the method's reason (an empty list: "No frames to stack"),
    // leaving the stacked frame as it was.
    bool stackAllFrames();
    // Loads the stack at path with its values: the frame count, orientation
    // and nebulosity outcome, which the image carries and its sidecar
    // repeats. Anything but Loaded keeps the reason in lastError(). A file
    // that cannot be read as a state image is moved aside (never over an
    // earlier one); a path that is no file, a file that cannot be opened, a
    // stack with samples that are not finite, or a count lost with the
    // sidecar is refused and left as it is.
    StateLoad loadState(const std::string& path);
    // Writes the stack and its sidecar. Whatever fails, the image and sidecar
    // left on disk are both the previous ones or both the new ones.
    bool saveState(const std::string& path);
    // For a stack that stays in memory from frame to frame: makes the stack
    // as it now stands the reference of the next frame, as loading it from
    // its state would.
    void continueFromStack();
    // A Stacker holding this one's stack, to be saved while this one goes
    // on: it shares the stack's images, so until it has been saved they must
    // not change; see setBeforeStackChanges.
    std::unique_ptr<Stacker> snapshotForSaving() const;
    // Called before the stack's images are changed in place; a save of a
    // snapshot waits there to finish. An exception from it fails the frame.
    void setBeforeStackChanges(std::function<void()> wait);
    // Keeps the state image at path and its sidecar as a numbered backup
    // beside them, "NAME.backup-N.EXT" and its ".meta", with the first N
    // free for both; earlier backups are never replaced. True with nothing
    // to keep; false with the reason when they cannot be kept.
    bool backUpState(const std::string& path);

    std::string lastError() const;
    const StackerOptions& options() const;
    int frameCount() const;
    float orientation() const;
    NebulosityCache nebulosity() const;
    std::shared_ptr<const ImageBuffer<float>> stackedFrame() const;
    std::shared_ptr<const ImageBuffer<unsigned char>> referenceFrame() const;
    // Whether the stack holds linear frames at their own scale.
    bool isLinear() const;
    std::size_t frameListSize() const;
    // False after processFrame turned the frame away (it could not be
    // registered, or the quality gate): the stack is as it was, so its state
    // files need not be written again.
    bool lastFrameAccepted() const;
    // Why the last frame was turned away; empty when it was accepted.
    std::string lastRejectionReason() const;
    // What registration found for the last frame (default when none ran).
    const RegistrationReport& lastRegistration() const;
    // The last frame's quality against the reference (NaN when not measured).
    float lastFrameQuality() const;

private:
    struct State;

    StackerSettings& settings();
    // The user's settings for a stacking context: alignment, the quality
    // gate, diagnostic mode, sigma clipping; no post-processing step.
    StackerSettings stackingSettings() const;
    void applySidecar(const SidecarValues& values);
    // The count and the rest from the sidecar and what the image carries
    // (a FITS header, or a JPEG comment; none from an older version).
    void loadValues(const std::string& path, const std::optional<SidecarValues>& image);
    StateLoad setAsideUnreadableState(const std::string& path);
    void writeSidecar(const std::string& metaPath);
    void writeStateImage(const std::string& tempPath, const std::string& path);
    // Read, checked against the stack's kind and calibrated; a mosaic is
    // debayered by colourOf.
    CameraFrame loadFrame(const std::string& inputPath);
    FloatImagePtr colourOf(CameraFrame& frame) const;
    void requireKindOf(const CameraFrame& frame, const std::string& inputPath) const;
    void detectNebulosity(const ImageBuffer<unsigned char>& frame);
    void stackEightBitFrame(ByteImagePtr frame, const FrameHeader& header, const std::string& inputPath);
    void stackLinearFrame(CameraFrame& frame, const std::string& inputPath);
    // The frame on the reference's grid, or null when it cannot be
    // registered or the quality gate turns it away.
    ByteImagePtr alignToReference(const ByteImagePtr& frame, const std::string& inputPath);
    FloatImagePtr alignLinearFrame(CameraFrame& frame, const std::string& inputPath);
    RegistrationReport registerOntoReference(const cv::Mat& reference, const cv::Mat& frame);
    void loadReferenceStars(const std::string& starsPath);
    void writeReferenceStars(const std::string& starsPath);
    void rejectFrame(const std::string& inputPath, float quality);
    void rejectUnregistered(const std::string& inputPath);
    void turnAway(const std::string& inputPath, const std::string& reason);
    // In diagnostic mode: the frame as it is averaged in, as PREFIX1.jpg.
    void saveAlignedFrame(const ByteImage& frame) const;
    void addToStack(const ByteImagePtr& frame, const FrameHeader& header);
    void addLinearToStack(const FloatImagePtr& frame, const FrameHeader& header);
    template <typename T>
    void foldIntoStack(const ImageBuffer<T>& frame, const FrameHeader& header, bool linear);
    std::optional<ClipBounds> readyPlanes(int framesBefore);
    void countFrame(const FrameHeader& header, bool linear);
    void writeOutput(const std::string& outputPath);
    ByteImagePtr prepareOutput(const ImageBuffer<float>& stack);

    std::unique_ptr<State> state_;
    // Declared after the state: destroyed first, it waits for its thread.
    std::unique_ptr<FrameAhead> frameAhead_;
};
