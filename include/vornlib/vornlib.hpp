// SPDX-License-Identifier: MIT
/// @file
/// Vornlib: audio file conversion. Include this header to get the whole C++ interface.
#pragma once

#include "vornlib/codec.hpp"
#include "vornlib/config.hpp"
#include "vornlib/ext_error.hpp"
#include "vornlib/ffmpeg_runner.hpp"
#include "vornlib/file_info.hpp"
#include "vornlib/format.hpp"
#include "vornlib/log.hpp"
#include "vornlib/version.h"
#include "vornlib/vorn_error.hpp"
#include "vornlib/vorn_ffmpeg_converter.hpp"
#include "vornlib/vornex.h"
#include "vornlib/vornex.hpp"
