// Opening the engine's files (log files, memory-log files, lock files, the diagnostic file) and
// making their folders where another user may own the folder: a php-fpm pool's log folder that
// a root job logs into too. That user can put a symbolic link in place of any name there, so
// a path is resolved one component at a time on the descriptor of the folder before it, and a
// foreign link (one owned by a user other than root and the process's effective user) is
// never followed: the open fails with ELOOP. A link of root's or of the process's own user (an
// administrator's link to another disk) is followed; its owner and its text are read from one
// descriptor of the link, so nothing can be swapped in between. A path without any link opens
// in one openat2 call.
#ifndef KELU_ZC_OPEN_H
#define KELU_ZC_OPEN_H

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace kelu::zl {

struct Event;

// Whether a symbolic link owned by owner is followed: root's and the process's effective
// user's.
bool IsTrustedLinkOwner(uid_t owner);

// Whether descriptors a and b are open on one file.
bool SameFile(int a, int b);

// A foreign link that an open met: its path as the resolution reached it, and its owner.
struct ForeignLink {
  std::string path;
  uid_t owner = 0;
};
// "symbolic link [path] belongs to uid N: ..." for reports.
std::string DescribeForeignLink(const ForeignLink &link);

// open(2) of path (flags without O_PATH; O_NOFOLLOW and O_CLOEXEC are implied) through no
// foreign link: one fails the call with ELOOP and, when link is given, is named in *link
// (left empty for any other failure). With O_CREAT a missing file is made in the folder the
// path reaches, never through a link. The file made gets owner's owner and group when owner
// is given, else the folder's where another user owns the folder (and the usual ones in the
// process's own folder), as far as the process may give them (root can; another process its
// own groups only). It is made unnamed and then linked in, so that no other process sees it
// with the wrong owner; where the folder cannot hold unnamed files, it is given its owner
// right after it is made. The open never waits: a FIFO without a reader at its other end fails
// with ENXIO for writing.
int OpenNoForeignLink(const char *path, int flags, mode_t perms, ForeignLink *link = nullptr,
                      const struct stat *owner = nullptr);

// The same for an output's file: a foreign link is also reported on the diagnostic channel
// and, when event is given, as a WARN line in its category, at most about once a second per
// process with the number of refusals since the last report.
int OpenOutputFile(const char *path, int flags, mode_t perms, Event *event,
                   const struct stat *owner = nullptr);

// The folder of path's last component, reached through no foreign link: an O_PATH
// descriptor, and the last component in *name (for renameat2, unlinkat and the like); -1
// with errno set (ELOOP for a foreign link).
int OpenFolderOf(const char *path, std::string *name);

// The folders of path before its last '/', made (mode 0755) where missing, each in a folder
// reached through no foreign link; a folder made in another user's folder gets that folder's
// owner and group as far as the process may give them. Failures are ignored: what cannot be
// made shows when the file is opened.
void MakeFolders(const char *path);

}  // namespace kelu::zl

#endif
