// What the mirror about to be replaced listed. A republished file keeps its
// listed time only when its bytes did not change; a changed or new file is
// listed no earlier than the publication, so that no cache which fetched an
// older copy can serve that copy for it to a client asking by the file's age.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "infofile/infofile.h"
#include "tools/keyfile.h"

struct PreviousListing {
    std::string root;                      // the old mirror; empty when there is none
    std::map<std::string, int32_t> times;  // listed time by site path
};

// Reads ROOT/CATALOGUE when its signature verifies with the key; anything
// else leaves the listing empty, and every file then counts as changed.
void previous_listing_load(const std::string &root, const std::string &catalogue,
                           const KeyFile *key, PreviousListing *listing);

// The time to list for COPY, just published at SITEPATH from a source
// modified at SOURCE_TIME: the old listed time when the old mirror's copy
// there holds the same bytes, else SOURCE_TIME but never before PUBLICATION.
int32_t previous_listing_time(const PreviousListing &listing, const std::string &sitepath,
                              const std::string &copy, int32_t source_time, int32_t publication);

// The published (compressed and signed) catalogue at PATH, read with the
// updater's own loader whatever its signature; null when it does not read.
std::unique_ptr<InfoRecord> published_catalogue_read(const std::string &path);
// The files of the catalogue that a mirror serves (those with a mirror
// path), in the catalogue's order: the updater's own entry first.
std::vector<const FileRecord *> catalogue_files(const InfoRecord &info);
