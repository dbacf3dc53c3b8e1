#pragma once
// The engine's fuzz targets as plain functions, so that the libFuzzer
// programs in this folder and the test suite (which replays the crash cases
// kept under tests/data/fuzz/) run the same code. Each takes any bytes,
// drives them through a whole path of the engine and ends normally whatever
// the bytes hold: a damaged input may raise the engine's exceptions, which
// are caught here; anything else (a crash, a sanitizer report, a broken
// promise checked below with abort) is a fault.
//
// Files go to a private temporary folder made once per process.

#include <cstddef>
#include <cstdint>

// The bytes are a table file: it is opened read-only and walked forwards
// and backwards, deleted records included, with every field read as text.
void FuzzTable(const uint8_t* data, size_t size);

// The bytes are a table and its memo file: a 4-byte little-endian length n,
// n bytes of table file, the rest memo file. The table is walked with every
// field read (memo values through the memo file); then the first memo field
// of the first record is given a new value, which must not grow the memo
// file by more than the value and one block beyond the memo header.
void FuzzMemo(const uint8_t* data, size_t size);

// The bytes are an expression: it is set as the filter of a small table of
// every field kind and evaluated against each record.
void FuzzExpression(const uint8_t* data, size_t size);

// The bytes are an index file: both the production index (".mdx") of a
// small table of names and numbers made once with two tags, and a
// single-index file (".ndx") of the same table. Each tag and the ".ndx" are
// checked page by page, and the table is walked in the order of each tag
// it opened; nothing is written.
void FuzzIndex(const uint8_t* data, size_t size);
