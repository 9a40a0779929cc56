#pragma once
// The generated project: relative "/"-separated paths to text contents, in byte-wise path order.
#include <map>
#include <string>

namespace orvane::builder {

using FileSet = std::map<std::string, std::string, std::less<>>;

}  // namespace orvane::builder
