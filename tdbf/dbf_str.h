#pragma once
// The engine's message texts, in one place. Each is a printf-style format
// filled with Format(); tests compare whole texts. Every unit keeps its
// texts in its own section below.

// ---- Paged files and locking ------------------------------------------------

// ---- Table files and field definitions -------------------------------------

// ---- Language drivers and code pages --------------------------------------

// ---- Memo files and blob streams -------------------------------------------

// ---- Index files ---------------------------------------------------------------

// ---- Table dataset ----------------------------------------------------------

// ---- Expressions ---------------------------------------------------------------

// ---- Table expression binding -----------------------------------------------
