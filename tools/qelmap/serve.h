// qelmap serve: the questions as JSON over HTTP, /metrics for Prometheus.
#ifndef QELMAP_SERVE_H
#define QELMAP_SERVE_H

#include <cstdio>
#include <string>
#include <vector>

#include "store.h"

namespace qelmap {

// The store's figures in the Prometheus text format.
std::string prometheusText(Store &store);

// "qelmap serve" after the verb; the exit status.
int runServe(const std::vector<std::string> &args, FILE *out, FILE *err);

} // namespace qelmap

#endif
