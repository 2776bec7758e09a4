#pragma once

struct PcscApi;

// Switches every PC/SC reader of the brand into serial mode, so that a terminal behind such a
// reader shows up as a serial port. Each reader present is asked for its vendor name; a reader
// whose vendor is "Tarvenix" (any letter case) receives the one-byte switch command through its
// escape control code. Blocks until every reader has been tried; what happened shows only in the
// diagnostic output (category "vardel.pcsc", info level), never in the log file.
void Pcsc_switchToCom();

// The same walk over the given service instead of the platform's own.
void Pcsc_switchToCom(const PcscApi &api);
