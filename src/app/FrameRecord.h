#pragma once

#include <QDateTime>
#include <QJsonObject>

#include <limits>
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

// The record of a run that has ended: the Stacker's account of its last
// frame, the Timers' totals and the clock. `failure` is the error that ended
// the run, empty when it did not fail.
FrameRecord frameRecordOf(const std::string& framePath, const Stacker& stacker, const std::string& failure,
                          std::optional<int> frames);

QJsonObject toJson(const FrameRecord& record);

// Appends the object as one line to the file at path, created when missing,
// in a single write so that lines never mix. Throws, naming the file, when
// it cannot.
void appendJsonLine(const std::string& path, const QJsonObject& object);
