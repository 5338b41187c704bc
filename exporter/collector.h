// collector.h - what one scrape reads from kelfd, as Prometheus metric
// families: per port its frames, octets and drops, link and kind; per rule
// its frames; the groups, mirrors and multicast groups; drift against the
// configuration file; and kelfd_up and the scrape's own duration. Every
// scrape reads kelfd afresh, with its bulk reads; nothing is kept between.
#pragma once

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace kelfd_exporter {

enum class RuleSeries { None, Named, All };

struct Options {
    std::string socket;                       // kelfd's control socket
    std::chrono::milliseconds timeout{5000};  // each exchange with kelfd
    RuleSeries rules = RuleSeries::Named;
    std::string config;  // the file drift is measured against; empty: none
};

class Collector : public prometheus::Collectable {
public:
    explicit Collector(Options o) : opt_(std::move(o)) {}
    std::vector<prometheus::MetricFamily> Collect() const override;

private:
    Options opt_;
    mutable std::mutex scrape_;  // one scrape at a time reads kelfd
};

}  // namespace kelfd_exporter
