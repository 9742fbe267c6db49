#pragma once

/// @file
/// The whole public API of the corvane client library.

#include <apps/client/corvane_export.h>
#include <apps/client/read.h>
#include <apps/client/result_codes.h>
#include <apps/client/server_query.h>
#include <apps/client/version.h>
