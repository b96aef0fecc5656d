#pragma once

#include <QDateTime>
#include <QJsonObject>

#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "alignment/Registration.h"

class Stacker;  // What one run did with its frame: a line of the state's frame record
// (STATE.frames.jsonl), so a capture program can learn why any frame was not
// stacked.
struct FrameRecord {
    QDateTime time;  // when the run ended, UTC
    std::string framePath;  // as given on the command line
    bool accepted = false;
    std::string reason;  // why the frame was not stacked; empty when it was
    float quality = std::numeric_limits<float>::quiet_NaN();  // NaN when not measured
    RegistrationReport registration;
    std::optional<int> frames;  // the stack's count after the run; none when the state was never read
    std::vector<std::pair<std::string, double>> milliseconds;  // per step, then the total
};

// The Timers' totals of the steps a record shows and the clock at one
// instant, so that a frame's times count from when its work began. The
// default instant is the process's start.
struct StepClock {
    std::map<std::string, double> totals;
    double milliseconds = 0.0;  // since the process started

    static StepClock now();
};

// The record of a run that has ended: the Stacker's account of its last
// frame, the Timers' totals and the clock since `since`. `failure` is the
// error that ended the run, empty when it did not fail.
FrameRecord frameRecordOf(const std::string& framePath, const Stacker& stacker, const std::string& failure,
                          std::optional<int> frames, const StepClock& since = {});

QJsonObject toJson(const FrameRecord& record);

// Appends the object as one line to the file at path, created when missing,
// in a single write so that lines never mix. Throws, naming the file, when
// it cannot.
void appendJsonLine(const std::string& path, const QJsonObject& object);

// The frames a record lists, each with the stack's count after its last line
// (lines without a count are left out). Lines that are not records are
// skipped; a record that cannot be read lists nothing.
std::map<std::string, int> recordedFrames(const std::string& path);
