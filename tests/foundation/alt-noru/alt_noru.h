// What the alternative host library records of the plug-in's calls, for the test that
// binds the plug-in to it. Plain C globals: the test reads them after init() returned on
// its own thread.
#pragma once

#include <QtGlobal>

extern "C" {
Q_DECL_EXPORT extern int alt_noru_init_calls;
Q_DECL_EXPORT extern unsigned int alt_noru_init_number;
Q_DECL_EXPORT extern char alt_noru_init_name[64];
Q_DECL_EXPORT extern int alt_noru_column_counts[4];
// Names of the third column list, joined by commas.
Q_DECL_EXPORT extern char alt_noru_column_names[256];
// Log lines of every level, counted from any thread.
Q_DECL_EXPORT int alt_noru_log_lines();
}
