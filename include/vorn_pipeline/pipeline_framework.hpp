// Everything of vorn_pipeline in one include.
#pragma once

#include "vorn_pipeline/error_handler.hpp"
#include "vorn_pipeline/pipeline.hpp"
#include "vorn_pipeline/router.hpp"
#include "vorn_pipeline/state.hpp"
#include "vorn_pipeline/step.hpp"
#include "vorn_pipeline/steps.hpp"
