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

// The FUSE mount programs probed in order (a variable so tests can point it elsewhere).
extern std::vector<std::filesystem::path> fusermountCandidates;
bool hasFusermount(const std::vector<std::filesystem::path>& candidates);

void registerMenuEntries();
void writeMenuEntry(const MenuEntryContext& context, const std::string& fileName,
                    const std::string& name, const std::string& command, const std::string& comment);
