#pragma once

#include <memory>
#include <string>
#include <thread>

#include "app/CommandLine.h"

class Stacker;

// Saves snapshots of a stack on a thread of its own, one at a time, so the
// next frame is read and registered meanwhile: the -s copy, then the state,
// as a per-frame run saves them. After -x the old state is kept as a backup
// by the first save only.
class BackgroundSave {
public:
    explicit BackgroundSave(const CommandLine& commandLine);
    ~BackgroundSave();
    BackgroundSave(const BackgroundSave&) = delete;
    BackgroundSave& operator=(const BackgroundSave&) = delete;

    // Waits for the save in progress, then starts saving the snapshot.
    void start(std::unique_ptr<Stacker> snapshot);
    // Waits for the save in progress; the error of the last save, empty when
    // it succeeded.
    std::string finish();

private:
    void save();

    CommandLine commandLine_;
    std::unique_ptr<Stacker> snapshot_;
    std::thread thread_;
    std::string error_;
};
