// A scoped temporary directory: made fresh and private at construction,
// removed with everything in it at destruction.
#ifndef BOOTSTRAP_ENVIRONMENT_TEMP_DIR_H_
#define BOOTSTRAP_ENVIRONMENT_TEMP_DIR_H_

#include <string>

class TempDir {
 public:
  // Creates "qzXXXXXX" (mkdtemp, mode 0700) in the user's temporary
  // directory, or in /tmp when there is none. `name` does not enter the path.
  // A failed creation leaves the path empty; nothing is reported.
  explicit TempDir(std::string name);
  // Removes the directory and its contents; silent, never throws.
  ~TempDir();

  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory's path; empty when creation failed.
  std::string getDir() const { return path_; }

  // Removes the directories of every TempDir alive now, for a run that ends
  // the process without returning through their owners.
  static void removeAllLive();

 private:
  std::string path_;
};

#endif  // BOOTSTRAP_ENVIRONMENT_TEMP_DIR_H_
