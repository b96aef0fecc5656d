#include <gtest/gtest.h>

#include <QJsonDocument>

#include <algorithm>

#include "app/StateLock.h"
#include "image/ImageFile.h"
#include "support/TestSupport.h"

TEST(StateLock, ASecondHolderWaitsThenGivesUpNamingTheFile)
{
    TempDir dir;
    const std::string path = dir.file("state.fits.lock");
    {
        const StateLock held(path);
        EXPECT_EQ(errorOf([&] { StateLock(path, std::chrono::milliseconds(50)); }),
                  "Another run holds the state lock " + path + "; gave up after 0.05 s");
    }
    EXPECT_EQ(errorOf([&] { StateLock(path, std::chrono::milliseconds(0)); }), "no error");
    EXPECT_TRUE(fileExists(path));  // kept for the next run
}

TEST(StateLock, RunsStartedTogetherOntoOneStateTakeTurns)
{
    TempDir dir;
    const std::string frame = dir.file("frame.jpg"), state = dir.file("state.fits");
    saveImage(frame, withStars(noiseFrame(64, 48, 3, 100, 10, 11)));
    // Eight runs in the background at once; the shell's status is 1 when any of them failed.
    const std::string eightRuns = R"(for i in 1 2 3 4 5 6 7 8; do "$0" -o "$1" -e "$2" "$3" & pids="$pids $!"; done
                                     for p in $pids; do wait $p || exit 1; done)";
    EXPECT_EQ(runProgram("/bin/sh", {"-c", eightRuns, PELORUM_EXECUTABLE, dir.file("out.jpg"), state, frame}).exitCode,
              0);

    EXPECT_EQ(std::stoi(readFile(state + ".meta")), 8);
    EXPECT_EQ(loadImage(state)->width(), 64);
    // Each run read the count the one before it saved.
    std::vector<int> counts;
    for (const std::string& line : lines(readFile(state + ".frames.jsonl")))
        counts.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(line))["frames"].toInt());
    std::sort(counts.begin(), counts.end());
    EXPECT_EQ(counts, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(StateLock, AStateInAMissingFolderFailsBeforeAnythingIsWritten)
{
    TempDir dir;
    const std::string frame = dir.file("frame.jpg");
    saveImage(frame, withStars(noiseFrame(64, 48, 3, 100, 10, 11)));
    const ProcessResult r = runPelorum({"-o", dir.file("out.jpg"), "-e", dir.file("none/state.fits"), frame});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(logMessages(r.out, "[ERRO] "), std::vector<std::string>{"Error: Could not open the state lock " +
                                                                      dir.file("none/state.fits.lock") +
                                                                      ": No such file or directory"});
    EXPECT_FALSE(fileExists(dir.file("out.jpg")));
}
