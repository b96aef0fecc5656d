#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>

#include <sys/wait.h>
#include <unistd.h>

#include "image/ImageFile.h"
#include "stacking/Stacker.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

// A state of two frames built by the program itself; each test then does
// something a night at the telescope can bring and checks what is left.
class StateSafety : public ::testing::Test {
protected:
    void SetUp() override
    {
        saveImage(frame, withStars(noiseFrame(64, 48, 3, 100, 10, 1)));
        for (const std::string& path : {state, jpegState})
            for (int run = 0; run < 2; ++run)
                ASSERT_EQ(runPelorum({"-o", output, "-e", path, frame}).exitCode, 0);
        fs::remove(output);
    }

    ProcessResult stackOnto(const std::string& path, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"-o", output, "-e", path};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(frame);
        return runPelorum(args);
    }

    // The files of the folder with their contents (empty for a folder, or a
    // file this test may not read).
    std::map<std::string, std::string> snapshot() const
    {
        std::map<std::string, std::string> files;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir.path())) {
            std::string& contents = files[entry.path().filename().string()];
            if (entry.is_regular_file() && ::access(entry.path().c_str(), R_OK) == 0)
                contents = readFile(entry.path().string());
        }
        return files;
    }

    TempDir dir;
    std::string frame = dir.file("frame.jpg");
    std::string state = dir.file("state.fits");
    std::string jpegState = dir.file("state.jpg");
    std::string output = dir.file("out.jpg");
};

std::string lastError(const ProcessResult& r)
{
    const auto errors = logMessages(r.out, "[ERRO] ");
    return errors.empty() ? "no error" : errors.back();
}

}  // namespace

// What a flaky card or cable gives, and a few bytes declaring gigapixels: the
// frame is refused like an unreadable one, before anything is allocated for it.
TEST_F(StateSafety, DamagedFramesAndMemoryBombsAreRefusedWithTheStateUntouched)
{
    const std::string whole = readFile(frame);
    std::string damaged = whole;
    damaged.replace(whole.find("\xff\xda") + (whole.size() - whole.find("\xff\xda")) / 2, 2, "\xff\xd9");
    writeFile(dir.file("damaged.jpg"), damaged);
    std::string bomb = whole;
    bomb.replace(bomb.find("\xff\xc0") + 5, 4, "\x65\x90\x65\x90");  // SOF0 height and width: 26000 x 26000
    writeFile(dir.file("bomb.jpg"), bomb.substr(0, 653));
    const auto before = snapshot();
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer reserves terabytes of address space for itself; the
    // limit is checked in the build without it.
    const std::string limit = "";
#else
    const std::string limit = "ulimit -v 4194304; ";
#endif
    for (const auto& [name, reason] :
         {std::pair{"damaged.jpg", "Invalid JPEG file: " + dir.file("damaged.jpg") +
                                       " (Corrupt JPEG data: premature end of data segment)"},
          {"bomb.jpg", "Image of 26000 x 26000 x 3 samples is too large to load (at most 65535 pixels a side and "
                       "536870912 samples): " + dir.file("bomb.jpg")}}) {
        const ProcessResult r = runProgram(
            "/bin/sh", {"-c", limit + "exec \"$0\" -o \"$1\" -e \"$2\" \"$3\"", PELORUM_EXECUTABLE, output, state,
                        dir.file(name)});
        EXPECT_EQ(r.exitCode, 1) << name;
        EXPECT_EQ(lastError(r), "Error: Failed to process frame: " + reason);
        const auto after = snapshot();
        EXPECT_EQ(after.at("state.fits"), before.at("state.fits"));
        EXPECT_EQ(after.at("state.fits.meta"), before.at("state.fits.meta"));
        EXPECT_EQ(after.count("out.jpg"), 0u);
    }
}

// The FITS state's header carries its count: a lost sidecar is recovered
// with a warning. A JPEG state cannot do without it: the run stops rather
// than restart the count under the stack.
TEST_F(StateSafety, ALostSidecarIsRecoveredFromTheFitsHeaderAndStopsAJpegState)
{
    fs::remove(state + ".meta");
    const ProcessResult recovered = stackOnto(state, {"-v"});
    EXPECT_EQ(recovered.exitCode, 0) << recovered.out;
    EXPECT_TRUE(logged(recovered.out, "[WARN] ",
                       "Metadata file " + state + ".meta is missing or unreadable; recovered frame count 2 from the "
                       "header of " + state));
    EXPECT_EQ(std::stoi(readFile(state + ".meta")), 3);

    fs::remove(output);
    writeFile(jpegState + ".meta", "");
    const auto before = snapshot();
    const ProcessResult stopped = stackOnto(jpegState);
    EXPECT_EQ(stopped.exitCode, 1);
    EXPECT_EQ(lastError(stopped), "Error: Failed to load state: The frame count of state file " + jpegState +
                                      " is lost: its metadata file " + jpegState +
                                      ".meta is missing or unreadable. Put it back, or start a new stack with -x");
    const auto after = snapshot();
    EXPECT_EQ(after.at("state.jpg"), before.at("state.jpg"));
    EXPECT_EQ(after.at("state.jpg.meta"), "");
    EXPECT_EQ(after.count("out.jpg"), 0u);
}

// Only a file that cannot be read as a state is moved, never over an
// earlier one; a folder, another suffix, a stack of NaN or a file the user
// may not read fails the run and is left as it is.
TEST_F(StateSafety, NothingIsMovedOrReplacedButAnUnreadableStateAndThatUnderAFreeName)
{
    fs::create_directory(dir.file("folder.fits"));
    writeFile(dir.file("notes.txt"), "my notes");
    auto poisoned = loadFloatImage(state);
    poisoned->data()[7] = std::nanf("");
    saveImage(dir.file("nan.fits"), poisoned);
    writeFile(dir.file("nan.fits.meta"), "2");
    const auto before = snapshot();
    const std::pair<std::string, std::string> refused[] = {
        {"folder.fits", "State file " + dir.file("folder.fits") + " is a folder"},
        {"notes.txt", "State file " + dir.file("notes.txt") + " must end in .fits, .fit, .jpg or .jpeg"},
        {"nan.fits", "Failed to load state: State file " + dir.file("nan.fits") +
                         " holds samples that are not finite numbers (NaN or infinity); move it away, or start a "
                         "new stack with -x"}};
    for (const auto& [name, error] : refused) {
        const ProcessResult r = stackOnto(dir.file(name));
        EXPECT_EQ(r.exitCode, 1) << name;
        EXPECT_EQ(lastError(r), "Error: " + error);
        const auto after = snapshot();
        for (const auto& [file, contents] : before)
            EXPECT_EQ(after.at(file), contents) << name << ": " << file;
        EXPECT_EQ(after.count("out.jpg"), 0u) << name;
    }

    for (const std::string kept : {"state.fits.unreadable", "state.fits.unreadable.1"}) {
        writeFile(state, "SIMPLE  =   not a state image any more");
        const ProcessResult r = stackOnto(state, {"-v"});
        EXPECT_EQ(r.exitCode, 0) << r.out;
        const auto warnings = logMessages(r.out, "[WARN] ");
        EXPECT_NE(std::find_if(warnings.begin(), warnings.end(),
                               [&](const std::string& w) { return w.find("moved it aside to " + dir.file(kept)) !=
                                                                  std::string::npos; }),
                  warnings.end())
            << r.out;
        EXPECT_EQ(readFile(dir.file(kept)), "SIMPLE  =   not a state image any more");
        EXPECT_EQ(std::stoi(readFile(state + ".meta")), 1);
    }
    EXPECT_EQ(readFile(dir.file("state.fits.meta.unreadable")), before.at("state.fits.meta"));
}

TEST_F(StateSafety, AStateTheUserMayNotReadIsLeftAlone)
{
    std::vector<std::string> asAnotherUser;
    if (::geteuid() == 0) {
        if (!fs::exists("/usr/bin/setpriv"))
            GTEST_SKIP() << "running as root without setpriv to drop privileges";
        asAnotherUser = {"--reuid=65534", "--regid=65534", "--clear-groups", PELORUM_EXECUTABLE};
        fs::permissions(dir.path(), fs::perms::all);
        for (const fs::directory_entry& entry : fs::directory_iterator(dir.path()))
            fs::permissions(entry.path(), fs::perms::all);
    }
    fs::permissions(state, fs::perms::none);
    const auto before = snapshot();
    std::vector<std::string> args = asAnotherUser;
    args.insert(args.end(), {"-o", output, "-e", state, frame});
    const ProcessResult r = asAnotherUser.empty() ? runPelorum(args) : runProgram("/usr/bin/setpriv", args);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_EQ(lastError(r), "Error: State file " + state + " cannot be read (Permission denied)");
    EXPECT_EQ(snapshot(), before);
}

// A copy that cannot be written fails the run before the main state takes
// the frame, so a capture program that tries the frame again stacks it once.
TEST_F(StateSafety, AFailedCopyLeavesTheMainStateAsItWas)
{
    const auto before = snapshot();
    const ProcessResult r = stackOnto(state, {"-s", dir.file("missing-folder/copy.fits")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(lastError(r).rfind("Error: Failed to save state: Could not save metadata file: " +
                                     dir.file("missing-folder/copy.fits.meta"),
                                 0),
              0u)
        << lastError(r);
    const auto after = snapshot();
    for (const std::string file : {"state.fits", "state.fits.meta"})
        EXPECT_EQ(after.at(file), before.at(file)) << file;
}

// A run killed while writing the picture leaves its temporary; the next run
// removes it, also while the killed run is a zombie not yet waited for, but
// never one whose writer still runs.
TEST_F(StateSafety, TheNextRunRemovesAPictureTemporaryWhoseWriterIsGone)
{
    const auto endedProcess = [] {
        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(0);
        return child;
    };
    const pid_t gone = endedProcess();
    ::waitpid(gone, nullptr, 0);
    const pid_t zombie = endedProcess();
    const auto temporaryOf = [&](const std::string& writer) { return output + ".tmp" + writer + ".jpg"; };
    const std::string abandoned = temporaryOf(std::to_string(gone)), ofZombie = temporaryOf(std::to_string(zombie));
    const std::string writing = temporaryOf(std::to_string(::getpid())), unrelated = temporaryOf("notes");
    for (const std::string& path : {abandoned, ofZombie, writing, unrelated})
        writeFile(path, "partial");
    const int status = stackOnto(state).exitCode;
    ::waitpid(zombie, nullptr, 0);
    ASSERT_EQ(status, 0);
    EXPECT_FALSE(fileExists(abandoned));
    EXPECT_FALSE(fileExists(ofZombie));
    EXPECT_TRUE(fileExists(writing));
    EXPECT_TRUE(fileExists(unrelated));
}

// Runs killed at instants spread over a whole run, the save included: after
// each, the state's count matches the frames its image holds, and the next
// run continues it and leaves no temporary file behind. Frame n has the
// background 20 + 10 n, so a stack of n frames has the background 25 + 5 n
// whatever the count says.
TEST(KilledRuns, NeverLeaveAMismatchedStateOrAPileOfTemporaries)
{
    constexpr int kKills = 10;
    TempDir dir;
    const std::string state = dir.file("state.fits"), output = dir.file("out.jpg");
    const auto frameFor = [&](int n) {
        const std::string path = dir.file("frame" + std::to_string(n) + ".jpg");
        if (!fileExists(path))
            saveImage(path, withStars(flatFrame(480, 360, 3, static_cast<unsigned char>(20 + 10 * n))));
        return path;
    };
    const auto countsOnDisk = [&] {
        Stacker reader;
        EXPECT_EQ(reader.loadState(state), StateLoad::Loaded) << reader.lastError();
        std::vector<float> samples(reader.stackedFrame()->data(),
                                   reader.stackedFrame()->data() + reader.stackedFrame()->size());
        std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
        const int framesInImage = int(std::lround((samples[samples.size() / 2] - 25.0f) / 5.0f));
        return std::pair{reader.frameCount(), framesInImage};
    };
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(runPelorum({"-o", output, "-e", state, frameFor(1)}).exitCode, 0);
    ASSERT_EQ(runPelorum({"-o", output, "-e", state, frameFor(2)}).exitCode, 0);
    const double runSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / 2;

    int count = 2;
    for (int kill = 1; kill <= kKills; ++kill) {
        const std::string delay = std::to_string(runSeconds * kill / (kKills + 1));
        runProgram("/usr/bin/timeout", {"-s", "KILL", delay, PELORUM_EXECUTABLE, "-o", output, "-e", state,
                                        frameFor(count + 1)});
        const auto [afterKill, inImage] = countsOnDisk();
        EXPECT_EQ(afterKill, inImage) << "killed after " << delay << " s";
        EXPECT_TRUE(afterKill == count || afterKill == count + 1) << afterKill;
        count = afterKill;
        ASSERT_EQ(runPelorum({"-o", output, "-e", state, frameFor(count + 1)}).exitCode, 0);
        count += 1;
        EXPECT_EQ(countsOnDisk(), std::pair(count, count));
        for (const fs::directory_entry& entry : fs::directory_iterator(dir.path())) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name.find(".tmp") == std::string::npos && name.find(".previous") == std::string::npos)
                << name;
        }
    }
}
