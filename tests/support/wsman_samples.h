#pragma once
// The public WS-Management messages beside the checkout, by their number.
#include <filesystem>
#include <string>

namespace hbr {

std::filesystem::path WsmanSamplesDir();

// The text of the file whose name starts with "NN-"; a test failure (never a skip) and empty
// when the folder or the file is missing.
std::string WsmanSample(const std::string& number);

}  // namespace hbr
