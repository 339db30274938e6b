// A model client whose calls end when one stop source says so, whatever
// component makes them: a served request whose client went away stops every
// model call it still has to make, or is making.
#pragma once

#include <stop_token>
#include <string>
#include <vector>

#include "vorn_inference/lm_invoker.hpp"

namespace vorn_cli {

class StoppableLMInvoker final : public vorn_inference::BaseLMInvoker {
 public:
  StoppableLMInvoker(vorn_inference::LMInvokerPtr inner, std::stop_token stop)
      : inner_(std::move(inner)), stop_(std::move(stop)) {}

  // A call that brings its own stop token keeps it.
  vorn_core::Task<vorn_inference::LMOutputPtr> invoke(std::vector<vorn_inference::Message> messages,
                                                      vorn_inference::InvokeOptions options) override {
    if (!options.stop.stop_possible()) options.stop = stop_;
    return inner_->invoke(std::move(messages), std::move(options));
  }
  std::string model_name() const override { return inner_->model_name(); }
  std::string type_name() const override { return "StoppableLMInvoker"; }

 private:
  vorn_inference::LMInvokerPtr inner_;
  std::stop_token stop_;
};

}  // namespace vorn_cli
