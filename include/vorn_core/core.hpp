// Everything of vorn_core in one include.
#pragma once

#include "vorn_core/callable.hpp"
#include "vorn_core/chunk.hpp"
#include "vorn_core/error.hpp"
#include "vorn_core/event_loop.hpp"
#include "vorn_core/logger.hpp"
#include "vorn_core/object.hpp"
#include "vorn_core/record.hpp"
#include "vorn_core/string_enum.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_core/task.hpp"
#include "vorn_core/value.hpp"
#include "vorn_core/when_all.hpp"
