#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include <QJsonDocument>
#include <QJsonObject>

#include "image/ImageFile.h"
#include "stacking/Stacker.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

// pelorum started in the background, its standard output going to a file.
class BackgroundPelorum {
public:
    BackgroundPelorum(const std::vector<std::string>& args, const std::string& outputPath)
    {
        pid_ = fork();
        if (pid_ == 0) {
            const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, STDOUT_FILENO);
            std::vector<std::string> copies = args;
            std::vector<char*> argv = {const_cast<char*>(PELORUM_EXECUTABLE)};
            for (std::string& a : copies)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(PELORUM_EXECUTABLE, argv.data());
            _exit(127);
        }
    }
    ~BackgroundPelorum()
    {
        if (pid_ > 0 && !ended_)
            stop(SIGKILL);
    }

    // Sends the signal and waits; the exit status, or -1 when it did not exit.
    int stop(int signal)
    {
        kill(pid_, signal);
        int status = 0;
        waitpid(pid_, &status, 0);
        ended_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    bool ended_ = false;
};

// Polls the condition for up to a minute (a sanitized build is slow).
bool eventually(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

class WatchMode : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directory(folder); }

    // A frame with the common stars, so every frame registers onto the stack.
    std::string frameBytes(unsigned seed) const
    {
        saveImage(dir.file("scratch.jpg"), withStars(noiseFrame(64, 48, 3, 100, 10, seed)));
        return readFile(dir.file("scratch.jpg"));
    }

    std::vector<std::string> recordedFrames() const
    {
        std::vector<std::string> frames;
        if (!fileExists(record))
            return frames;
        for (const std::string& line : lines(readFile(record)))
            frames.push_back(
                fs::path(QJsonDocument::fromJson(QByteArray::fromStdString(line))["frame"].toString().toStdString())
                    .filename()
                    .string());
        return frames;
    }

    int stateCount() const
    {
        Stacker reader;
        return reader.loadState(state) == StateLoad::Loaded ? reader.frameCount() : -1;
    }

    TempDir dir;
    std::string folder = dir.file("frames");
    std::string state = dir.file("state.fits");
    std::string record = state + ".frames.jsonl";
    std::string output = dir.file("out.jpg");
};

}  // namespace

// Frames dropped into the watched folder are stacked as each is completed: a
// file still being written is left alone until its writer closes it, and a
// file moved in is taken at once. SIGTERM ends the watch with its state saved.
TEST_F(WatchMode, FramesAreStackedWhenCompleteAndAStopLeavesTheStateWhole)
{
    BackgroundPelorum watch({"--watch", folder, "-o", output, "-e", state}, dir.file("watch.log"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    writeFile(folder + "/a.jpg", frameBytes(1));
    ASSERT_TRUE(eventually([&] { return recordedFrames().size() == 1; })) << readFile(dir.file("watch.log"));

    const std::string second = frameBytes(2);
    std::FILE* writing = std::fopen((folder + "/b.jpg").c_str(), "wb");
    std::fwrite(second.data(), 1, second.size() / 2, writing);
    std::fflush(writing);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(recordedFrames(), std::vector<std::string>{"a.jpg"});
    std::fwrite(second.data() + second.size() / 2, 1, second.size() - second.size() / 2, writing);
    std::fclose(writing);

    writeFile(dir.file("c.jpg"), frameBytes(3));
    fs::rename(dir.file("c.jpg"), folder + "/c.jpg");
    writeFile(folder + "/notes.txt", "not a frame");
    ASSERT_TRUE(eventually([&] { return recordedFrames().size() == 3; })) << readFile(dir.file("watch.log"));
    writeFile(folder + "/d.jpg", frameBytes(4));
    EXPECT_EQ(watch.stop(SIGTERM), 0);

    // d.jpg was stacked whole or not at all; the state says which.
    const std::vector<std::string> done = recordedFrames();
    const std::vector<std::string> expected = {"a.jpg", "b.jpg", "c.jpg", "d.jpg"};
    EXPECT_EQ(done, std::vector<std::string>(expected.begin(), expected.begin() + long(done.size())));
    EXPECT_EQ(stateCount(), int(done.size()));
    EXPECT_EQ(std::stoi(readFile(state + ".meta")), int(done.size()));
    const std::string log = readFile(dir.file("watch.log"));
    EXPECT_NE(log.find("c.jpg: stacked; the stack holds 3 frames"), std::string::npos) << log;
}

// --once stacks what the folder holds and exits; run again, it stacks only
// the frames its record does not list yet.
TEST_F(WatchMode, OnceStacksTheFolderAndARestartSkipsWhatTheRecordLists)
{
    for (const char* name : {"f1.jpg", "f2.jpg", "f3.jpg"})
        writeFile(folder + "/" + name, frameBytes(unsigned(name[1])));
    writeFile(folder + "/skip.jpeg", frameBytes(9));
    const ProcessResult first =
        runPelorum({"--watch", folder, "--once", "--pattern", "f*.jpg", "-o", output, "-e", state});
    EXPECT_EQ(first.exitCode, 0) << first.out;
    EXPECT_NE(first.out.find("[3/3] f3.jpg: stacked; the stack holds 3 frames"), std::string::npos) << first.out;
    EXPECT_EQ(stateCount(), 3);

    writeFile(folder + "/f4.jpg", frameBytes(4));
    writeFile(folder + "/f0.jpg", frameBytes(5));
    const ProcessResult second =
        runPelorum({"--watch", folder, "--once", "--pattern", "f*.jpg", "-o", output, "-e", state});
    EXPECT_EQ(second.exitCode, 0) << second.out;
    EXPECT_NE(second.out.find("[1/2] f0.jpg: stacked; the stack holds 4 frames"), std::string::npos) << second.out;
    EXPECT_NE(second.out.find("[2/2] f4.jpg: stacked; the stack holds 5 frames"), std::string::npos) << second.out;
    EXPECT_EQ(recordedFrames(), (std::vector<std::string>{"f1.jpg", "f2.jpg", "f3.jpg", "f0.jpg", "f4.jpg"}));
    EXPECT_EQ(stateCount(), 5);

    const ProcessResult missing = runPelorum({"--watch", dir.file("none"), "--once", "-o", output, "-e", state});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(logged(missing.out, "[ERRO] ", "Error: Watch folder " + dir.file("none") + " is not a folder"));
}
