// skysim: writes a simulated sequence of sky frames and its ground truth.
#include <iostream>
#include <stdexcept>

#include "SkySimOptions.h"
#include "SkySimulator.h"

int main(int argc, char** argv)
{
    try {
        const SkySimCommand command = parseSkySimOptions({argv + 1, argv + argc});
        if (command.helpRequested) {
            std::cout << skySimUsage();
            return 0;
        }
        writeSequence(SkySimulator(command.settings), command.output);
        std::cout << "skysim: wrote " << command.settings.frames << " frames to " << command.output.directory << '\n';
        return 0;
    } catch (const std::invalid_argument& e) {
        std::cerr << "skysim: " << e.what() << "\nRun skysim --help for the options.\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "skysim: " << e.what() << '\n';
        return 1;
    }
}
