// The check of a dump's digest and signature lines, for a dump in a local
// repository (--check-dump) and for one streamed from a remote store
// (--check-ftp-dump): one verdict, reported in the same words.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "sitevault/dump_files.h"
#include "sitevault/signing.h"

class RemoteStore;

// What the signature lines say under the server's public key.
using SignatureJudge = std::function<SignatureCheck(const char* public_pem)>;

// The verdict once the digest recomputed from the dump has been compared
// with the signed one: 0 when it matched and judge finds the lines made by
// the server's key; else 1 after reporting why ("Dump <dump> is corrupted -
// checksum mismatch", "Dump <dump> is <what the lines say>", or that the
// public key cannot be had). judge is asked only when the digest matched.
int dump_check_verdict(const char* dump, bool digest_matches, const SignatureJudge& judge);

// The digest and signature check of a dump of the local directory (the
// dump utility's own check is the caller's): 0 or 1 as dump_check_verdict,
// -1 after reporting when its last file is listed but cannot be opened.
int check_local_dump(const std::string& directory, const std::string& dump);

// A remote dump read through once: the signature lines at the end of its
// last file, and the digest of the stream before them.
struct StreamedDump {
  std::optional<SignatureFields> fields;
  std::optional<std::string> digest;
  bool digest_matches() const { return fields && digest && *digest == fields->magic1; }
};
// Streams the files of dump_name from the store in dump order through the
// digest, keeping only the end of the last file. nullopt after reporting
// when the dump is not there, a part of it is missing, or a file cannot be
// read to its end.
std::optional<StreamedDump> stream_remote_dump(RemoteStore& store, const std::string& dump_name);

// The same check of the remote dump dump_name, its files streamed from the
// store in dump order through the digest; nothing is stored and memory
// stays bounded whatever the dump's size. -1 after reporting when the dump
// is not there, a part of it is missing, or a file cannot be read to its
// end; no verdict is then given.
int check_remote_dump(RemoteStore& store, const std::string& dump_name);
