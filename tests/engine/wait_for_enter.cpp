// A stand-in child for the command-runner tests: waits for one line on its
// standard input and notes in MARKER what came ("enter" or "eof"); with
// --no-read it notes "ran" at once, with --until FILE once FILE exists (or
// its folder is gone: the test that started it has ended).
// Exits 0 after a line, 2 at the end of the input.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    if (argc < 2) return 64;
    std::string what = "ran";
    int code = 0;
    std::string option = argc > 2 ? argv[2] : "";
    if (option == "--until" && argc > 3) {
        const std::filesystem::path go = argv[3];
        while (!std::filesystem::exists(go) && std::filesystem::exists(go.parent_path()))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } else if (option != "--no-read") {
        std::string line;
        bool got = static_cast<bool>(std::getline(std::cin, line));
        what = got ? "enter" : "eof";
        code = got ? 0 : 2;
    }
    std::ofstream(argv[1]) << what;
    return code;
}
