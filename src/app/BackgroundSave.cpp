#include "app/BackgroundSave.h"

#include <exception>

#include "app/RunSequence.h"
#include "stacking/Stacker.h"

BackgroundSave::BackgroundSave(const CommandLine& commandLine) : commandLine_(commandLine) {}

BackgroundSave::~BackgroundSave() { finish(); }

void BackgroundSave::start(std::unique_ptr<Stacker> snapshot)
{
    finish();
    snapshot_ = std::move(snapshot);
    thread_ = std::thread(&BackgroundSave::save, this);
}

std::string BackgroundSave::finish()
{
    if (thread_.joinable())
        thread_.join();
    return error_;
}

void BackgroundSave::save()
{
    try {
        saveStack(commandLine_, *snapshot_);
        commandLine_.resetRequested = false;
        error_.clear();
    } catch (const std::exception& e) {
        error_ = e.what();
    }
    snapshot_.reset();
}
