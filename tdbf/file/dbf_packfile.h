#pragma once
// Packing a table file: its live records, and the memo values they use, are
// written into new files beside the originals, which are then swapped in by
// renames. The originals stay as they were until the swap, so a failure
// part-way leaves the table, its memo file and its indexes untouched. Index
// files are not rewritten here: the caller regenerates them on the packed
// table.
//
// The swap, with T the table, M its memo file and the new files written
// beside them as T.packing and M.packing:
//   1. rename M -> M.unpacked    (the old memo values stay reachable)
//   2. rename M.packing -> M
//   3. rename T.packing -> T     (the one step that makes the pack happen)
//   4. delete M.unpacked
// A failure at step 2 or 3 renames M.unpacked back over M; only a crash
// between steps 1 and 3 leaves the old memo values in M.unpacked.

#include <cstdint>

#include "tdbf/file/dbf_dbffile.h"

struct TPackResult {
  int32_t kept = 0;     // records in the packed table
  int32_t removed = 0;  // records marked deleted, and slots that held none
};

// Packs the open table file. The header keeps every byte the table had
// (version, language, descriptors, autoincrement values, Visual FoxPro
// flags and backlink) but the record count and the date of the last
// update (today). The memo file keeps its block size and header; its live
// values are copied block for block, shared values once, and the records
// get their new block numbers. progress (may be empty) hears of the
// records copied.
// Afterwards file still reads the old, replaced files: the caller closes
// it and opens the table again.
// REQUIRES: file open with exclusive access, no record being edited.
// Raises EDbfError "Cannot pack ..." when something fails; the files are
// then as they were.
TPackResult PackTableFile(TDbfFile& file, const TIndexProgress& progress = {});

// The records of the open table marked deleted.
int32_t CountDeletedRecords(TDbfFile& file);
