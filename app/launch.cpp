// Starting the installed game: a detached process in the install folder with its own path as
// the first argument (and "--updated" after an unattended update run). The setup program
// neither waits for it nor reads its output.
#include <SDL3/SDL.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/modes.h"
#include "app/session.h"
#include "release/file_guards.h"

namespace {

// One SDL property set, destroyed with its scope.
class PropertySet {
 public:
  PropertySet() : id_(SDL_CreateProperties()) {}
  ~PropertySet() {
    if (id_) SDL_DestroyProperties(id_);
  }
  PropertySet(const PropertySet&) = delete;
  PropertySet& operator=(const PropertySet&) = delete;
  SDL_PropertiesID id() const { return id_; }

 private:
  SDL_PropertiesID id_;
};

// SDL before 3.4 has no working-folder property for new processes: the child takes the
// process's own, so this switches it for the moment of the launch and switches back after.
class WorkingFolderSwitch {
 public:
  explicit WorkingFolderSwitch(const std::filesystem::path& folder) {
    saved_.reset(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    switched_ = chdir(folder.c_str()) == 0;
    error_ = switched_ ? 0 : errno;
  }
  ~WorkingFolderSwitch() {
    // A failed switch back is harmless: every path the program uses from here on is absolute.
    if (saved_.isOpen() && switched_ && fchdir(saved_.get()) != 0) {
    }
  }
  WorkingFolderSwitch(const WorkingFolderSwitch&) = delete;
  WorkingFolderSwitch& operator=(const WorkingFolderSwitch&) = delete;
  bool switched() const { return switched_; }
  int error() const { return error_; }

 private:
  int error_ = 0;
  FileDescriptor saved_;
  bool switched_ = false;
};

}  // namespace

bool launchGame(bool withUpdatedFlag) {
  // The worker that published PLAY has finished its work; let it end, so that nothing else
  // runs while the process's working folder is switched.
  if (worker.joinable()) worker.join();

  const std::string program = (board.options.installDir / gameProgram(board)).string();
  const std::string folder = board.options.installDir.string();
  std::vector<const char*> arguments{program.c_str()};
  if (withUpdatedFlag) arguments.push_back("--updated");
  arguments.push_back(nullptr);

  // The window shows only that the game did not start; the log says why.
  auto failed = [&](const std::string& reason) {
    logLine("could not start the game " + program + ": " + reason);
    return false;
  };
  // SDL reports a program that cannot run only as a garbled number: name the reason here.
  struct stat status = {};
  if (stat(program.c_str(), &status) != 0) return failed(std::strerror(errno));
  if (!S_ISREG(status.st_mode)) return failed("it is not a file");
  if (access(program.c_str(), X_OK) != 0) return failed("it is not executable (" + std::string(std::strerror(errno)) + ")");

  PropertySet properties;
  // The working-folder property is honoured by SDL 3.4 and later.
  if (!properties.id() ||
      !SDL_SetPointerProperty(properties.id(), SDL_PROP_PROCESS_CREATE_ARGS_POINTER, arguments.data()) ||
      !SDL_SetStringProperty(properties.id(), "SDL.process.create.working_directory", folder.c_str()) ||
      !SDL_SetBooleanProperty(properties.id(), SDL_PROP_PROCESS_CREATE_BACKGROUND_BOOLEAN, true)) {
    return failed(SDL_GetError());
  }

  SDL_Process* process = nullptr;
#if SDL_VERSION_ATLEAST(3, 4, 0)
  process = SDL_CreateProcessWithProperties(properties.id());
#else
  {
    WorkingFolderSwitch inInstallFolder(board.options.installDir);
    // Without the switch the game would start in the wrong folder; a missing install folder
    // could not hold the game anyway.
    if (!inInstallFolder.switched()) {
      return failed("the install folder cannot be entered (" + std::string(std::strerror(inInstallFolder.error())) + ")");
    }
    process = SDL_CreateProcessWithProperties(properties.id());
  }
#endif
  if (!process) return failed(SDL_GetError());
  SDL_DestroyProcess(process);
  return true;
}
