#pragma once
// The compiler's version, which the `version` command answers and every manifest records, and
// the version requirement the wasm and binary manifests put on orvane-backtest. The Python
// package's version is read from here when it is built (pyproject.toml). Every layer may
// include it.
#include <string_view>

namespace orvane {

inline constexpr std::string_view kCompilerVersion = "0.2.0";
inline constexpr std::string_view kBacktestDep = "0.1.5";

}  // namespace orvane
