// Where the tests find tvnbench, and its figures read back from its output.
#pragma once

#include <filesystem>
#include <map>
#include <sstream>
#include <string>

namespace tvn_test {

inline const std::string tvnbench_binary =
    (std::filesystem::path(TVN_BINARY).parent_path() / "tvnbench").string();
inline const std::string tvnbench_build_dir =
    std::filesystem::path(TVN_BINARY).parent_path().parent_path().string();

// The figures "name value unit" of the output, by name.
inline std::map<std::string, double> figures_of(const std::string &output) {
    std::map<std::string, double> figures;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name, unit, rest;
        double value = 0;
        if (fields >> name >> value >> unit && !(fields >> rest)) figures[name] = value;
    }
    return figures;
}

} // namespace tvn_test
