// A port mapper that stands in for the router: it records what its owner asks
// of it and speaks to no network; the test announces what the router "said"
// by emitting the mapper's signals.
#pragma once

#include "link/chatlink.h"
#include "portmap/portmapper.h"

#include <string>
#include <vector>

class StandInMapper : public PortMapper {
public:
    using PortMapper::PortMapper;
    void start(quint16 internalPort) override { calls.push_back("start " + std::to_string(internalPort)); }
    void stop() override { calls.push_back("stop"); }
    // "start PORT" and "stop", in order.
    std::vector<std::string> calls;
};

// While it lives, every ChatLink that asks for a mapper gets a StandInMapper;
// `mapper` is the last one made.
class StandInMappers {
public:
    StandInMappers()
    {
        ChatLink::setPortMapperFactory([this](QObject* parent) {
            mapper = new StandInMapper(parent);
            return mapper;
        });
    }
    ~StandInMappers() { ChatLink::setPortMapperFactory(nullptr); }
    StandInMappers(const StandInMappers&) = delete;
    StandInMappers& operator=(const StandInMappers&) = delete;

    StandInMapper* mapper = nullptr;
};
