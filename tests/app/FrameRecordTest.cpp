#include <gtest/gtest.h>

#include <cmath>

#include <QJsonDocument>
#include <QRegularExpression>

#include "app/FrameRecord.h"
#include "image/ImageFile.h"
#include "support/TestSupport.h"

TEST(FrameRecord, JsonHoldsEveryFieldWithNullsForWhatWasNotFound)
{
    FrameRecord stacked;
    stacked.time = QDateTime(QDate(2026, 1, 31), QTime(21, 4, 5, 7), Qt::UTC);
    stacked.framePath = "night/f 1.jpg";
    stacked.accepted = true;
    stacked.reason = "not shown once accepted";
    stacked.quality = 0.9f;
    stacked.registration = {12, 10, 8, 7, 0.25, (cv::Mat_<float>(3, 3) << 1, 0, 2.5, 0, 1, -1, 0, 0, 1), ""};
    stacked.frames = 3;
    stacked.milliseconds = {{"Read frame", 1.5}, {"Total", 9}};
    EXPECT_EQ(QJsonDocument(toJson(stacked)).toJson(QJsonDocument::Compact).toStdString(),
              R"({"accepted":true,"frame":"night/f 1.jpg","frames":3,"ms":{"Read frame":1.5,"Total":9},)"
              R"("pairs":{"inliers":7,"matched":8},"quality":0.9,"reason":null,"rms":0.25,)"
              R"("stars":{"frame":10,"reference":12},"time":"2026-01-31T21:04:05.007Z",)"
              R"("transform":[[1,0,2.5],[0,1,-1],[0,0,1]]})");

    FrameRecord failed;
    failed.time = stacked.time;
    failed.reason = "Failed to process frame: unreadable";
    const QJsonObject json = toJson(failed);
    EXPECT_EQ(json["accepted"], false);
    EXPECT_EQ(json["reason"], "Failed to process frame: unreadable");
    for (const char* key : {"quality", "transform", "frames"})
        EXPECT_TRUE(json[key].isNull()) << key;
}

// One line per run, accepted or not, each saying why a frame was not stacked.
TEST(FrameRecord, EveryRunAppendsALineWithItsOutcome)
{
    TempDir dir;
    const std::string state = dir.file("state.fits"), clear = dir.file("clear.fits"), hazy = dir.file("hazy.fits");
    const ByteImagePtr sharp = withStars(checkerFrame(64, 48, 1, 90, 110));
    saveImage(clear, sharp);
    saveImage(hazy, indexedFrame(64, 48, 1, [&](std::size_t i) {
                  return int(std::lround(100 + 0.8 * (sharp->data()[i] - 100)));  // 80 % of the spread
              }));
    const struct {
        std::vector<std::string> args;
        int exitCode;
        bool accepted;
        std::string reason;  // its start
    } runs[] = {
        {{clear}, 0, true, ""},
        {{"-q", "0.95", hazy}, 0, false, "quality 0."},
        {{dir.file("missing.fits")}, 1, false, "Failed to process frame: "},
    };
    for (const auto& run : runs) {
        std::vector<std::string> args = {"-o", dir.file("out.fits"), "-e", state};
        args.insert(args.end(), run.args.begin(), run.args.end());
        EXPECT_EQ(runPelorum(args).exitCode, run.exitCode) << run.args.back();
    }

    const std::vector<std::string> records = lines(readFile(state + ".frames.jsonl"));
    ASSERT_EQ(records.size(), std::size(runs));
    const QRegularExpression utcMilliseconds(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$)");
    for (std::size_t i = 0; i < records.size(); ++i) {
        const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(records[i])).object();
        const std::string frame = json["frame"].toString().toStdString();
        const std::string reason = json["reason"].toString().toStdString();
        EXPECT_TRUE(frame == runs[i].args.back() && json["accepted"] == runs[i].accepted &&
                    json["reason"].isNull() == runs[i].accepted && reason.rfind(runs[i].reason, 0) == 0 &&
                    json["frames"] == 1 && utcMilliseconds.match(json["time"].toString()).hasMatch())
            << records[i];
        const QJsonObject ms = json["ms"].toObject();
        for (const char* step : {"Read state", "Read frame", "alignFrame", "Write output", "Write state"})
            EXPECT_TRUE(ms[step].isDouble() && ms[step].toDouble() <= ms["Total"].toDouble()) << step;
    }
}
