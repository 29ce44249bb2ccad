// The configuration: read from a zlog configuration file ([global], [levels], [formats],
// [rules], in that order) or built from one rule line.
#ifndef KELU_ZLOG_CONF_H
#define KELU_ZLOG_CONF_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zlog.h"
#include "zlog_format.h"
#include "zlog_level.h"
#include "zlog_rotate.h"
#include "zlog_rule.h"

struct zlog_conf_s {
  std::string file;  // empty when built without a file
  // Identity of the file when it was read, so that an unchanged file is not read again.
  dev_t file_device = 0;
  ino_t file_inode = 0;
  off_t file_size = 0;
  struct timespec file_mtime {};

  bool strict_init = true;
  uint64_t buffer_min = 1024;
  uint64_t buffer_max = 2 * 1024 * 1024;
  std::string rotate_lock_file;
  mode_t file_perms = 0600;
  uint64_t reload_period = 0;
  uint64_t fsync_period = 0;
  std::unique_ptr<kelu::zl::Pattern> default_format;
  kelu::zl::LevelList levels;
  kelu::zl::FormatList formats;
  std::unique_ptr<kelu::zl::Rotater> rotater;  // made with the first rule; outlives the rules
  std::vector<std::unique_ptr<kelu::zl::Rule>> rules;
};

namespace kelu::zl {

using Conf = zlog_conf_s;

// zlog_conf_new: the file at path; a null or empty path takes KELU_LOG_CONF_PATH, and with
// neither the configuration without file (one rule "*.*  >stdout"). Null on any error.
std::unique_ptr<Conf> LoadConf(const char *path);
// zlog_conf_new_with_rule: stock defaults and the one rule line (the stdout rule when empty).
std::unique_ptr<Conf> BuildConfWithRule(const char *line);
// True when the file the configuration came from is still the same file, unmodified.
bool ConfFileUnchanged(const Conf &conf);
// Writes the configuration to the diagnostic channel (zlog_profile).
void ProfileConf(const Conf &conf);

}  // namespace kelu::zl

#endif
