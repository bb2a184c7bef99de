// Replacing a configuration file whole, so that a crash or a kill at any
// moment leaves either its old content or its new content, never a mix.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// How the replacement's permissions are chosen. Owner and group of an
// existing file are kept in both cases.
enum class File_Mode_Rule : uint8_t {
    KEEP,  // an existing file's mode; `mode` for a new file
    FORCE, // `mode` in every case
};

// Gives the file at `path` the content `content`: it is written into a
// temporary file beside the target with the target's owner, group and mode,
// flushed to disk, renamed over the target, and the directory is flushed.
// A symbolic link is followed and stays a link. When the target cannot be
// renamed over (it is a mount point of its own), it is rewritten in place
// instead, which is logged once per process. 0 on success, else an errno
// value; after a failure the target is as it was and no temporary file is
// left behind.
int replace_File(const char* path, const std::string& content, mode_t mode, File_Mode_Rule rule);
