// The package version, written in this one place: the module's __version__
// is this text, and the distribution's metadata (pyproject.toml) reads it
// from this file with a regular expression at build time.
#pragma once

#define KORDAL_VERSION "0.1.5"
