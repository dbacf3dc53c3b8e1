#pragma once
// The engine's message texts, in one place. Each is a printf-style format
// filled with Format(); tests compare whole texts. Every unit keeps its
// texts in its own section below.

// ---- Paged files and locking ------------------------------------------------

constexpr const char* kFileNotFound = "Open: file not found: \"%s\".";
constexpr const char* kExclusiveAccessRequired = "Exclusive access is required for this operation.";
// A file the platform refused to open: the file name, then the cause.
constexpr const char* kCannotOpenFile = "Cannot open file \"%s\". %s";

// ---- Table files and field definitions -------------------------------------

// ---- Language drivers and code pages --------------------------------------

// ---- Memo files and blob streams -------------------------------------------

// ---- Index files ---------------------------------------------------------------

// ---- Table dataset ----------------------------------------------------------

// ---- Expressions ---------------------------------------------------------------

// ---- Table expression binding -----------------------------------------------
