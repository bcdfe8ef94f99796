// Desktop integration: replacing small files atomically, and the two desktop menu entries.
// Runs on the thread of its caller (the worker after an apply, or the main thread in a
// windowless run) and takes no lock.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

struct StatusBoard;

// Writes content to target + ".tmp" and renames it over target.
bool writeFileAtomically(const std::filesystem::path& target, std::string_view content);

struct MenuEntryContext {
  StatusBoard& board;
  std::filesystem::path iconPath;
  std::filesystem::path applicationsFolder;
};

// The FUSE mount programs probed in order.
extern const std::vector<std::filesystem::path> fusermountCandidates;
[[nodiscard]] bool hasFusermount(const std::vector<std::filesystem::path>& candidates);

// Writes the game's entry and the update entry for the install folder and the game of board;
// the update entry runs the AppImage unpacked when none of fusermounts exists.
void registerMenuEntries(StatusBoard& board,
                         const std::vector<std::filesystem::path>& fusermounts = fusermountCandidates);
void writeMenuEntry(const MenuEntryContext& context, const std::string& fileName,
                    const std::string& name, const std::string& command, const std::string& comment);
