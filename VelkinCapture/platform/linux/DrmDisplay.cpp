#include "platform/linux/DrmDisplay.hpp"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace velkin {

namespace {

// Reads a positive number at the front of `text` and removes it.
std::optional<uint32_t> takeDimension(std::string_view& text) {
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data() || value == 0) {
    return std::nullopt;
  }
  text.remove_prefix(static_cast<size_t>(end - text.data()));
  return value;
}

// "card0-DP-2" before "card0-DP-10": runs of digits compare by value.
bool naturalLess(const std::string& a, const std::string& b) {
  size_t i = 0;
  size_t j = 0;
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      size_t iEnd = i;
      size_t jEnd = j;
      while (iEnd < a.size() && isDigit(a[iEnd])) {
        ++iEnd;
      }
      while (jEnd < b.size() && isDigit(b[jEnd])) {
        ++jEnd;
      }
      // Without leading zeros, the longer run is the larger number.
      std::string_view x(a.data() + i, iEnd - i);
      std::string_view y(b.data() + j, jEnd - j);
      while (x.size() > 1 && x.front() == '0') {
        x.remove_prefix(1);
      }
      while (y.size() > 1 && y.front() == '0') {
        y.remove_prefix(1);
      }
      if (x.size() != y.size()) {
        return x.size() < y.size();
      }
      if (x != y) {
        return x < y;
      }
      i = iEnd;
      j = jEnd;
    } else {
      if (a[i] != b[j]) {
        return a[i] < b[j];
      }
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

std::optional<std::string> firstLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) {
    return std::nullopt;
  }
  return line;
}

}  // namespace

std::optional<Display> parseDrmMode(std::string_view line) {
  const std::optional<uint32_t> width = takeDimension(line);
  if (!width || line.empty() || line.front() != 'x') {
    return std::nullopt;
  }
  line.remove_prefix(1);
  const std::optional<uint32_t> height = takeDimension(line);
  if (!height) {
    return std::nullopt;
  }
  return Display{*width, *height};
}

Display firstConnectedDrmDisplay(const std::filesystem::path& root) {
  std::error_code error;
  std::vector<std::string> connectors;
  for (std::filesystem::directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    // Connectors are the entries with a status; the cards and render nodes have none.
    if (std::filesystem::exists(it->path() / "status", error)) {
      connectors.push_back(it->path().filename().string());
    }
  }
  std::sort(connectors.begin(), connectors.end(), naturalLess);
  for (const std::string& name : connectors) {
    const std::filesystem::path connector = root / name;
    if (firstLine(connector / "status") != "connected") {
      continue;
    }
    if (const std::optional<std::string> mode = firstLine(connector / "modes")) {
      if (const std::optional<Display> display = parseDrmMode(*mode)) {
        return *display;
      }
    }
  }
  return Display{};
}

}  // namespace velkin
