// Routing sessions and the routing-resources manager.
#include <thread>

#include "framework/routing_session.h"
#include "routing/routing_resources_manager.h"
#include "routing_test_graph.h"
#include "test_support.h"

namespace {

using namespace routing_test;
using nVOAPALS100::tStatus;
using Calls = std::vector<std::string>;

// A caller buffer in test memory.
struct Buffer : voark::UserBufferInterface {
    template <class T> explicit Buffer(const std::vector<T>& records) : bytes(records.size() * sizeof(T)) {
        std::memcpy(bytes.data(), records.data(), bytes.size());
    }
    void readFromBuffer(uint64_t offset, void* destination, uint64_t size, tStatus& status) const override {
        if (status.isNotFatal()) {
            std::memcpy(destination, bytes.data() + offset, size);
        }
    }
    void writeToBuffer(uint64_t offset, const void* source, uint64_t size, tStatus& status) const override {
        if (status.isNotFatal() && size != 0) {
            std::memcpy(bytes.data() + offset, source, size);
        }
    }
    uint64_t getSize() const override { return bytes.size(); }
    template <class T> T at(size_t index) const {
        T value;
        std::memcpy(&value, bytes.data() + index * sizeof(T), sizeof(T));
        return value;
    }
    mutable std::vector<uint8_t> bytes;
};

// A session as the manager sees it, recording what it is told.
struct Probe : voark::RoutingSessionInterface {
    Probe(std::string name, Calls& log) : name_(std::move(name)), log_(log) {}
    void demoteSession() override { log_.push_back(name_ + ":demote"); }
    void setRoutingResources(voark::RoutingResourcesInterface*) override { log_.push_back(name_ + ":set"); }
    void clearRoutingResources() override { log_.push_back(name_ + ":clear"); }
    std::string name_;
    Calls& log_;
};

class RoutingManagerTest : public kelvo_test::LeakCheckedTest {};

TEST_F(RoutingManagerTest, HandsOutAndWithdrawsNewestFirstAndDemotesForGood) {
    Calls log;
    tStatus status;
    voark::RoutingResourcesManager manager(status);
    Probe a("a", log), b("b", log), c("c", log);
    manager.registerRoutingSession(a);
    manager.registerRoutingSession(b);
    auto* resources = reinterpret_cast<voark::RoutingResourcesInterface*>(&log);
    manager.setRoutingResources(resources);
    manager.clearRoutingResources();
    manager.clearRoutingResources();
    manager.unregisterRoutingSession(a); // demoted: nothing
    manager.registerRoutingSession(c);
    manager.setRoutingResources(resources); // only sessions registered since
    manager.unregisterRoutingSession(c);
    EXPECT_EQ(log,
              (Calls{"b:set", "a:set", "b:clear", "b:demote", "a:clear", "a:demote", "c:set", "c:clear"}));
    manager.clearRoutingResources();
}

class RoutingSessionTest : public kelvo_test::LeakCheckedTest {
protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        tStatus status;
        resources_ = std::make_unique<voark::RoutingResources>(graph_.info(), &programmer_, status);
        manager_ = std::make_unique<voark::RoutingResourcesManager>(status);
        manager_->setRoutingResources(resources_.get());
        ASSERT_TRUE(status.isSuccess());
    }
    void TearDown() override {
        sessions_.clear();
        if (manager_ != nullptr) {
            manager_->clearRoutingResources();
        }
        manager_.reset();
        resources_.reset();
        LeakCheckedTest::TearDown();
    }
    voark::RoutingSession& open() {
        tStatus status;
        sessions_.push_back(std::make_unique<voark::RoutingSession>(*manager_, status));
        EXPECT_TRUE(status.isSuccess());
        return *sessions_.back();
    }
    // The first route found, or 0; status code in *code.
    uint32_t route(voark::RoutingSession& session, uint32_t from, uint32_t to, int64_t* code = nullptr,
                   uint32_t options = 0) {
        voark::RouteCalculationSeedBase seed{from, 0, 0, {}};
        const Buffer out(std::vector<voark::RoutePossibilityBase>(4));
        uint32_t count = 4;
        tStatus status;
        session.calculateRoute(5, &seed, 1, &to, 1, options, out, &count, status);
        if (code != nullptr) {
            *code = status.getCode();
        }
        return status.isSuccess() && count != 0 ? out.at<voark::RoutePossibilityBase>(0).routeID : 0;
    }
    int64_t reserve(voark::RoutingSession& session, uint32_t id, uint32_t capacity = 4,
                    std::vector<voark::RouteConflict>* listed = nullptr) {
        const Buffer out{std::vector<voark::RouteConflict>(capacity)};
        uint32_t count = capacity;
        tStatus status;
        session.reserveRoute(id, out, &count, status);
        if (listed != nullptr) {
            listed->clear();
            for (uint32_t i = 0; i < count; ++i) {
                listed->push_back(out.at<voark::RouteConflict>(i));
            }
        }
        return status.getCode();
    }
    int64_t program(voark::RoutingSession& session, uint32_t id) {
        tStatus status;
        session.programRoute(id, status);
        return status.getCode();
    }

    RecordingProgrammer programmer_;
    Graph graph_{lineGraph()};
    std::unique_ptr<voark::RoutingResources> resources_;
    std::unique_ptr<voark::RoutingResourcesManager> manager_;
    std::vector<std::unique_ptr<voark::RoutingSession>> sessions_;
};

// A route is reserved once, from calculated, and programmed once reserved; an unknown ID is refused.
TEST_F(RoutingSessionTest, OnlyTheCreatorChangesARouteAndOnlyFromTheStateBefore) {
    voark::RoutingSession& mine = open();
    voark::RoutingSession& other = open();
    const uint32_t id = route(mine, 1, 4);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(program(mine, id), tStatus::kInvalidParameter);
    EXPECT_EQ(reserve(other, id), tStatus::kInvalidParameter);
    EXPECT_EQ(program(other, id), tStatus::kInvalidParameter);
    other.destroyRoute(id);
    EXPECT_EQ(reserve(mine, id), 0);
    EXPECT_EQ(reserve(mine, id), tStatus::kInvalidParameter);
    EXPECT_EQ(routing_test::reserve(*resources_, 999), tStatus::kInvalidParameter);
    tStatus unknown;
    resources_->programRoute(999, unknown);
    EXPECT_EQ(unknown.getCode(), tStatus::kInvalidParameter);
    mine.unprogramRoute(id); // reserved only: nothing
    EXPECT_EQ(resources_->getRouteState(id), voark::kRouteReserved);
    EXPECT_TRUE(programmer_.calls.empty());
    EXPECT_EQ(program(mine, id), 0);
    // Another session's undoing steps change nothing; the creator's take the route back one state each.
    for (const auto& [undo, stateAfter] :
         {std::pair{&voark::RoutingSession::unprogramRoute, voark::kRouteReserved},
          std::pair{&voark::RoutingSession::unreserveRoute, voark::kRouteCalculated}}) {
        const uint32_t before = resources_->getRouteState(id);
        (other.*undo)(id);
        EXPECT_EQ(resources_->getRouteState(id), before);
        (mine.*undo)(id);
        EXPECT_EQ(resources_->getRouteState(id), stateAfter);
    }
}

TEST_F(RoutingSessionTest, ConflictsListEachHolderOnceCutToTheCapacity) {
    voark::RoutingSession& session = open();
    // Three routes through e0 (1->2) are held; a route 3->2 (e1) competes with all of them.
    std::vector<uint32_t> held;
    for (uint32_t to : {2u, 4u, 5u}) {
        held.push_back(route(session, 1, to));
        ASSERT_EQ(reserve(session, held.back()), 0);
    }
    // Option bit 0 (as callers spell it): the held edges may be used too.
    const uint32_t rival = route(session, 3, 2, nullptr, 1);
    ASSERT_NE(rival, 0u);
    std::vector<voark::RouteConflict> listed;
    EXPECT_EQ(reserve(session, rival, 1, &listed), voark::kRouteConflict);
    EXPECT_EQ(listed.size(), 1u);
    EXPECT_EQ(reserve(session, rival, 8, &listed), voark::kRouteConflict);
    std::vector<uint32_t> holders;
    for (const voark::RouteConflict& c : listed) {
        EXPECT_EQ(c.owner, 5u);
        holders.push_back(c.routeID);
    }
    std::sort(holders.begin(), holders.end());
    EXPECT_EQ(holders, held);
}

TEST_F(RoutingSessionTest, CloseDestroysTheRoutesLastFirst) {
    voark::RoutingSession& session = open();
    voark::RoutingSession& other = open();
    const uint32_t a = route(session, 1, 4);
    const uint32_t b = route(session, 1, 5);
    const uint32_t kept = route(other, 3, 2);
    for (uint32_t id : {a, b}) {
        ASSERT_EQ(reserve(session, id), 0);
        ASSERT_EQ(program(session, id), 0);
    }
    programmer_.calls.clear();
    sessions_.erase(sessions_.begin());
    EXPECT_EQ(programmer_.calls, (Calls{"begin", "4:13=1", "end", "begin", "3:12=1", "1:10=1", "end"}));
    EXPECT_EQ(resources_->getRouteState(kept), voark::kRouteCalculated);
}

// A demoted session never calls its manager again: it may close after the manager is gone (ASan).
TEST_F(RoutingSessionTest, ADemotedSessionLosesItsRoutesAnswersNoResourcesAndOutlivesItsManager) {
    voark::RoutingSession& early = open();
    ASSERT_NE(route(early, 1, 4), 0u);
    manager_->clearRoutingResources();
    EXPECT_EQ(resources_->database().size(), 0u);
    manager_->setRoutingResources(resources_.get());
    int64_t code = 0;
    EXPECT_EQ(route(early, 1, 4, &code), 0u);
    EXPECT_EQ(code, voark::kNoRoutingResources);
    manager_->clearRoutingResources();
    manager_.reset();
    sessions_.clear();
}

TEST_F(RoutingSessionTest, BufferedCalculationReadsWholeBuffers) {
    voark::RoutingSession& session = open();
    struct Case {
        const char* name;
        uint32_t seeds;        // records in the buffer (all from terminal 1)
        uint32_t seedCount;    // count given
        uint32_t destinations; // copies of terminal 4
        uint32_t destinationCount;
        int64_t code;
        uint32_t found;
    } const cases[] = {
        {"slots", 1, 1, 1, 1, 0, 1},
        {"more than the slots", 20, 20, 17, 17, 0, 1},
        {"a seed buffer that is not its count", 2, 1, 1, 1, tStatus::kInvalidParameter, 0},
        {"a destination buffer that is not its count", 1, 1, 2, 1, tStatus::kInvalidParameter, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Buffer seeds(std::vector<voark::RouteCalculationSeedBase>(c.seeds, {1, 0, 0, {}}));
        const Buffer destinations(std::vector<uint32_t>(c.destinations, 4));
        const Buffer out(std::vector<voark::RoutePossibilityBase>(4));
        uint32_t count = 4;
        tStatus status;
        session.calculateRoute(1, seeds, c.seedCount, destinations, c.destinationCount, 0, out, &count,
                               status);
        EXPECT_EQ(status.getCode(), c.code);
        EXPECT_EQ(status.isSuccess() ? count : 0u, c.found);
    }
}

// Threads' sessions use the resources while the manager hands them out and withdraws them (run under TSan).
TEST_F(RoutingSessionTest, SessionsRaceOverOneSetOfResources) {
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            tStatus own;
            voark::RoutingSession session(*manager_, own);
            for (uint32_t i = 0; i < 200; ++i) {
                const uint32_t id =
                    route(session, 1 + (t + i) % 3, 4 + i % 3, nullptr, voark::kUseUnavailableEdges);
                reserve(session, id);
                program(session, id);
                if (i % 2 == 0) {
                    session.destroyRoute(id);
                }
            }
        });
    }
    for (int k = 0; k < 20; ++k) {
        manager_->clearRoutingResources();
        manager_->setRoutingResources(resources_.get());
    }
    for (auto& thread : threads) {
        thread.join();
    }
    manager_->clearRoutingResources();
    EXPECT_EQ(resources_->database().size(), 0u) << "every session's routes went with it";
    for (uint32_t e = 0; e < graph_.info().numEdges; ++e) {
        EXPECT_EQ(resources_->edgeStates()[e].reservationCount, 0u);
        EXPECT_EQ(resources_->edgeStates()[e].programCount, 0u);
    }
}

} // namespace
