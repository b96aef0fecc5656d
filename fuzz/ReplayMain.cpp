// Runs a fuzz target, without libFuzzer, on every input file in the folders
// (or the files) given, so that inputs which once crashed it are run again by
// the test build under its sanitizers. A folder's README.md is not an input.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputsIn(const fs::path& path)
{
    if (!fs::is_directory(path))
        return {path};
    std::vector<fs::path> inputs;
    for (const auto& entry : fs::directory_iterator(path))
        if (entry.is_regular_file() && entry.path().filename() != "README.md")
            inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

std::vector<std::uint8_t> contentsOf(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("Could not open the fuzz input " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << "Usage: " << argv[0] << " FOLDER_OR_FILE...\n";
        return 2;
    }
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    std::size_t replayed = 0;
    for (const std::string& argument : arguments) {
        if (!fs::exists(argument)) {
            std::cerr << "No such fuzz input or folder: " << argument << "\n";
            return 2;
        }
        for (const fs::path& input : inputsIn(argument)) {
            std::cout << "Replaying " << input.string() << std::endl;
            const std::vector<std::uint8_t> bytes = contentsOf(input);
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++replayed;
        }
    }
    std::cout << "Replayed " << replayed << " inputs without a fault\n";
    return 0;
}
