#pragma once

#include <memory>
#include <string>
#include <vector>

#include "image/ImageBuffer.h"

enum class StackingMethod { Mean = 0, Median = 1, SigmaClip = 2 };

// What the user asked for. Setters of Stacker clamp into the ranges noted.
struct StackerOptions {
    StackingMethod method = StackingMethod::Mean;
    bool darkSubtractionEnabled = false;
    bool alignmentEnabled = true;
    float backgroundPercent = 15.0f;   // 0..100
    float contrast = 120.0f;           // 10..200
    float saturation = 120.0f;         // 0..200
    float compression = 20.0f;         // 0..100
    int medianFilterSize = 0;          // 0 = off
    int maxStars = 200;
    int sigmaClipFrames = 5;
    float sigmaLow = 2.0f;             // 1..7
    float sigmaHigh = 2.0f;            // 1..7
    bool diagnostic = false;
    std::string diagnosticPrefix = "frame_";
    float qualityThreshold = 0.7f;     // 0..1
    bool backgroundSet = false;
    bool contrastSet = false;
    bool saturationSet = false;
    bool compressionSet = false;
    bool medianFilterSet = false;
    bool histEqSet = false;
    int polyDegree = 2;                // 1..4
    int gridSize = 16;                 // 8..64
    float protectionThreshold = 0.5f;  // 0..1
    float smoothness = 0.5f;           // 0..1
    int histEqWindow = 0;              // 0 = off, else >= 3
    float histEqClip = 1.0f;           // 0..4
    int denoiseMethod = 0;             // 0 none, 1 non-local means, 2 bilateral
    int denoiseStrength = 10;          // 1..30
    bool denoiseSet = false;
    bool benchmark = false;
};

// The outcome of the nebulosity detection on a stack, kept with its state.
struct NebulosityCache {
    bool checked = false;
    bool detected = false;
    float score = 0.0f;
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
    void setMaxStars(int count);
    void setBackground(float percent);
    void setContrast(float percent);
    void setSaturation(float percent);
    void setCompression(float percent);
    void setMedianFilter(int size);
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

    bool loadDarkFrame(const std::string& path);
    // Drops the stack (frames, count, stacked and reference frame); options,
    // dark frame, orientation, nebulosity cache and last error stay.
    void resetState();

    bool processFrame(const std::string& inputPath, const std::string& outputPath);
    // Combines the whole frame list with the chosen method (against the
    // reference frame, with the dark frame when dark subtraction is on) and
    // makes the result the stacked frame; the frame count is left alone. Does
    // nothing for an unknown method. Throws what the method throws (an empty
    // list: "No frames to stack"), leaving the stacked frame as it was.
    void stackAllFrames();
    bool loadState(const std::string& path);
    bool saveState(const std::string& path);

    std::string lastError() const;
    const StackerOptions& options() const;
    int frameCount() const;
    float orientation() const;
    NebulosityCache nebulosity() const;
    std::shared_ptr<const ImageBuffer<float>> stackedFrame() const;
    std::shared_ptr<const ImageBuffer<unsigned char>> referenceFrame() const;
    std::size_t frameListSize() const;
    // False after processFrame turned the frame away at the quality gate: the
    // stack is as it was, so its state files need not be written again.
    bool lastFrameAccepted() const;

private:
    struct State;

    void loadSidecar(const std::string& metaPath);
    void setAsideUnreadableState(const std::string& path);
    void writeSidecar(const std::string& metaPath);
    ByteImagePtr loadFrame(const std::string& inputPath);
    void detectNebulosity(const ImageBuffer<unsigned char>& frame);
    ByteImagePtr subtractDark(const ByteImagePtr& frame);
    // The frame on the reference's grid, or null when the quality gate turns
    // it away (its quality is then in `quality`).
    ByteImagePtr alignToReference(const ByteImagePtr& frame, float& quality);
    void addToStack(const ByteImagePtr& frame);
    void updateRunningMean(const ImageBuffer<unsigned char>& frame);
    ByteImagePtr prepareOutput(const ImageBuffer<float>& stack);

    std::unique_ptr<State> state_;
};
