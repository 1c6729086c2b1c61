// The image hand-over between pushes and ticks, checked in every order its
// atomic steps can take. Each party runs the engine's own steps
// (ImageHandover) in the loop the engine runs them in:
//  - a push takes the write gate, steps StepTakeWrite until it is TRUE,
//    writes its image into the slot in two halves, publishes, and lets the
//    gate go (as WriteFrame does);
//  - a tick steps StepTakeRead until it is TRUE, reads the slot in two halves
//    and leaves it (as Tick and FillFrame do). Two ticks may overlap: the tick
//    timer's DPC can run on two processors at once.
// Every state the parties can reach is explored (depth first, each state
// once), and each reached state is checked: no tick ever reads a slot a push
// writes, a push never writes a slot a tick reads, a tick takes the latest
// published image and delivers it whole (both halves of one push, or black),
// and no state leaves a party waiting forever.
#include "driver/engine/ImageHandover.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kMaxParties = 4;

enum class Kind : uint8_t { Push, Tick };

// One party: its program counter, what is left for it to do, and the locals
// of the step it is in.
struct Party {
    Kind kind;
    uint8_t pc;     // see StepPush and StepTick
    uint8_t left;   // pushes or ticks still to make
    uint8_t image;  // push: the image id this push writes
    ImageHandover::Reader reader;
    ImageHandover::Writer writer;
    uint8_t firstHalf;  // tick: the image id read from the first half
};

// Everything the parties share, the hand-over word included, plus ghost
// state that records what each party is doing to which slot.
struct World {
    LONG handover;       // ImageHandover::state
    uint8_t half[2][2];  // image id in each half of each slot (0: black)
    uint8_t seq[2];      // publication number of each slot's content
    uint8_t latestSeq;   // publication number of the latest publish
    uint8_t writing[2];  // ghost: a push is inside its writes of the slot
    uint8_t reading[2];  // ghost: ticks between taking and leaving the slot
    int8_t gate;         // party holding the write gate, -1: none
    int partyCount;
    Party parties[kMaxParties];

    // The state as a byte string, field by field (no padding bytes).
    std::string Key() const {
        std::string key;
        auto put = [&key](long long value) { key += std::to_string(value) + ','; };
        put(handover);
        for (int s = 0; s < 2; ++s) {
            put(half[s][0]);
            put(half[s][1]);
            put(seq[s]);
            put(writing[s]);
            put(reading[s]);
        }
        put(latestSeq);
        put(gate);
        for (int p = 0; p < partyCount; ++p) {
            const Party& party = parties[p];
            put(party.pc);
            put(party.left);
            put(party.image);
            put(party.reader.observed);
            put(party.reader.slot);
            put(party.reader.started);
            put(party.writer.slot);
            put(party.writer.chosen);
            put(party.firstHalf);
        }
        return key;
    }
};

constexpr uint8_t kDone = 0xFF;

// The outcome of one step of one party.
struct Step {
    bool moved = false;  // the party could take a step (it may still spin)
    std::string fault;   // a broken rule, or empty
    std::string name;    // what the step did, for the trace
};

// Runs `step` on the world's hand-over word.
template <typename Body>
void OnHandover(World& world, Body body) {
    ImageHandover handover;
    handover.state = world.handover;
    body(handover);
    world.handover = handover.state;
}

// One step of push party `p`: gate, take the slot, first half, second half,
// publish, let the gate go.
Step StepPush(World& world, int p) {
    Party& party = world.parties[p];
    Step step;
    const LONG slot = party.writer.slot;
    switch (party.pc) {
        case 0:
            if (world.gate != -1) {
                return step;  // another push holds the gate
            }
            world.gate = static_cast<int8_t>(p);
            party.writer = ImageHandover::Writer{};
            party.image = static_cast<uint8_t>(p * 10 + party.left);  // 2, 1; 12, 11
            party.pc = 1;
            step.name = "gate";
            break;
        case 1: {
            BOOLEAN taken = FALSE;
            OnHandover(world, [&](ImageHandover& h) { taken = h.StepTakeWrite(&party.writer); });
            step.name = "take-write";
            if (taken) {
                party.pc = 2;
                step.name += " slot " + std::to_string(party.writer.slot);
            }
            break;
        }
        case 2:
        case 3: {
            const int half = party.pc - 2;
            if (world.reading[slot] != 0) {
                step.fault = "a push writes a slot while a tick reads it";
            }
            world.half[slot][half] = party.image;
            world.writing[slot] = half == 0 ? 1 : 0;
            party.pc = static_cast<uint8_t>(party.pc + 1);
            step.name = "write half " + std::to_string(half) + " of slot " + std::to_string(slot) +
                        ": image " + std::to_string(party.image);
            break;
        }
        case 4:
            OnHandover(world, [&](ImageHandover& h) { h.Publish(slot); });
            world.seq[slot] = ++world.latestSeq;
            party.pc = 5;
            step.name = "publish slot " + std::to_string(slot);
            break;
        case 5:
            world.gate = -1;
            --party.left;
            party.pc = party.left == 0 ? kDone : 0;
            step.name = "leave gate";
            break;
        default:
            return step;
    }
    step.moved = true;
    return step;
}

// One step of tick party `p`: take the published slot, first half, second
// half, leave.
Step StepTick(World& world, int p) {
    Party& party = world.parties[p];
    Step step;
    const LONG slot = party.reader.slot;
    switch (party.pc) {
        case 0: {
            BOOLEAN taken = FALSE;
            OnHandover(world, [&](ImageHandover& h) { taken = h.StepTakeRead(&party.reader); });
            step.name = "take-read";
            if (taken) {
                const LONG took = party.reader.slot;
                step.name += " slot " + std::to_string(took);
                if (world.seq[took] != world.latestSeq) {
                    step.fault = "a tick takes a slot that is not the latest published image";
                }
                ++world.reading[took];
                party.pc = 1;
            }
            break;
        }
        case 1:
        case 2: {
            const int half = party.pc - 1;
            if (world.writing[slot] != 0) {
                step.fault = "a tick reads a slot while a push writes it";
            }
            const uint8_t got = world.half[slot][half];
            if (half == 0) {
                party.firstHalf = got;
            } else if (got != party.firstHalf) {
                step.fault = "a tick delivers a torn image";
            }
            party.pc = static_cast<uint8_t>(party.pc + 1);
            step.name = "read half " + std::to_string(half) + " of slot " + std::to_string(slot) +
                        ": image " + std::to_string(got);
            break;
        }
        case 3:
            OnHandover(world, [&](ImageHandover& h) { h.LeaveRead(slot); });
            --world.reading[slot];
            --party.left;
            party.reader = ImageHandover::Reader{};
            party.pc = party.left == 0 ? kDone : 0;
            step.name = "leave slot " + std::to_string(slot);
            break;
        default:
            return step;
    }
    step.moved = true;
    return step;
}

// Explores every state reachable from the start by the parties' steps.
class HandoverExplorer {
  public:
    // `pushes[i]`: pushes of push party i; `ticks[i]`: ticks of tick party i.
    HandoverExplorer(std::vector<int> pushes, std::vector<int> ticks) {
        std::memset(&start_, 0, sizeof(start_));
        ImageHandover handover;
        handover.Reset();
        start_.handover = handover.state;
        start_.gate = -1;
        for (int count : pushes) {
            Add(Kind::Push, count);
        }
        for (int count : ticks) {
            Add(Kind::Tick, count);
        }
    }

    void Run() {
        std::vector<std::string> trace;
        Visit(start_, trace);
    }

    // One line per kind of broken rule, with the first trace that broke it.
    std::map<std::string, std::string> faults;
    size_t states = 0;
    size_t endStates = 0;
    std::set<uint8_t> delivered;  // image ids some tick delivered whole

  private:
    void Add(Kind kind, int count) {
        Party& party = start_.parties[start_.partyCount++];
        party.kind = kind;
        party.left = static_cast<uint8_t>(count);
    }

    static std::string Label(const World& world, int p) {
        return (world.parties[p].kind == Kind::Push ? "push" : "tick") + std::to_string(p);
    }

    void Note(const std::string& fault, const std::vector<std::string>& trace) {
        if (faults.count(fault) != 0) {
            return;
        }
        std::string text;
        for (const std::string& line : trace) {
            text += "  " + line + "\n";
        }
        faults[fault] = text;
    }

    void Visit(const World& world, std::vector<std::string>& trace) {
        if (!seen_.insert(world.Key()).second) {
            return;
        }
        ++states;
        bool progressed = false;
        bool allDone = true;
        for (int p = 0; p < world.partyCount; ++p) {
            if (world.parties[p].pc == kDone) {
                continue;
            }
            allDone = false;
            World next = world;
            const Step step =
                world.parties[p].kind == Kind::Push ? StepPush(next, p) : StepTick(next, p);
            if (!step.moved) {
                continue;
            }
            const std::string key = next.Key();
            if (key == world.Key()) {
                continue;  // a spin that changes nothing
            }
            progressed = true;
            trace.push_back(Label(world, p) + ": " + step.name);
            if (!step.fault.empty()) {
                // Recorded, and explored on: one broken rule leads to others.
                Note(step.fault, trace);
            } else if (world.parties[p].kind == Kind::Tick && world.parties[p].pc == 2) {
                delivered.insert(next.parties[p].firstHalf);
            }
            Visit(next, trace);
            trace.pop_back();
        }
        if (allDone) {
            ++endStates;
            ImageHandover handover;
            handover.state = world.handover;
            if (handover.ReadersOf(0) != 0 || handover.ReadersOf(1) != 0) {
                Note("reader counts are left behind", trace);
            }
        } else if (!progressed) {
            Note("a party waits forever", trace);
        }
    }

    World start_;
    std::set<std::string> seen_;
};

std::string Describe(const HandoverExplorer& explorer) {
    std::string text;
    for (const auto& fault : explorer.faults) {
        text += fault.first + ", for example after:\n" + fault.second;
    }
    return text;
}

TEST(ImageHandoverTest, TwoPushersAndATickInEveryOrderDeliverOnlyWholeCurrentImages) {
    HandoverExplorer explorer({2, 2}, {2});
    explorer.Run();
    EXPECT_TRUE(explorer.faults.empty()) << Describe(explorer);
    // The exploration is not empty: it reaches thousands of states, finishes
    // in many of them, and the tick delivers black and every push somewhere.
    EXPECT_GT(explorer.states, 1000u);
    EXPECT_GT(explorer.endStates, 10u);
    EXPECT_EQ(explorer.delivered, (std::set<uint8_t>{0, 1, 2, 11, 12}));
}

TEST(ImageHandoverTest, TwoPushersAndTwoOverlappingTicksInEveryOrderDeliverOnlyWholeImages) {
    HandoverExplorer explorer({2, 2}, {2, 2});
    explorer.Run();
    EXPECT_TRUE(explorer.faults.empty()) << Describe(explorer);
    EXPECT_GT(explorer.states, 10000u);
    EXPECT_EQ(explorer.delivered, (std::set<uint8_t>{0, 1, 2, 11, 12}));
}

TEST(ImageHandoverTest, AStepAtATimeAReaderTakesThePublishedSlotAndAWriterTheOther) {
    ImageHandover handover;
    handover.Reset();
    ImageHandover::Reader reader = {};
    EXPECT_FALSE(handover.StepTakeRead(&reader));  // the first step only reads
    ASSERT_TRUE(handover.StepTakeRead(&reader));
    EXPECT_EQ(reader.slot, 0);
    EXPECT_EQ(handover.ReadersOf(0), 1);

    // The writer gets slot 1 at once and publishes it; the next writer needs
    // slot 0 and waits until the reader has left it.
    ImageHandover::Writer first = {};
    ASSERT_TRUE(handover.StepTakeWrite(&first));
    EXPECT_EQ(first.slot, 1);
    handover.Publish(first.slot);
    EXPECT_EQ(handover.PublishedSlot(), 1);
    ImageHandover::Writer second = {};
    EXPECT_FALSE(handover.StepTakeWrite(&second));
    EXPECT_EQ(second.slot, 0);
    EXPECT_FALSE(handover.StepTakeWrite(&second));
    handover.LeaveRead(reader.slot);
    EXPECT_TRUE(handover.StepTakeWrite(&second));
    EXPECT_EQ(handover.state, 1);
}

TEST(ImageHandoverTest, ReadersOfOneSlotAreCountedOneByOne) {
    ImageHandover handover;
    handover.Reset();
    ImageHandover::Reader a = {};
    ImageHandover::Reader b = {};
    // Both read the state, then both count in: b's compare-exchange fails
    // once (a changed the word) and succeeds on the value it found.
    EXPECT_FALSE(handover.StepTakeRead(&a));
    EXPECT_FALSE(handover.StepTakeRead(&b));
    ASSERT_TRUE(handover.StepTakeRead(&a));
    EXPECT_FALSE(handover.StepTakeRead(&b));
    ASSERT_TRUE(handover.StepTakeRead(&b));
    EXPECT_EQ(handover.ReadersOf(0), 2);
    handover.LeaveRead(a.slot);
    EXPECT_EQ(handover.ReadersOf(0), 1);
    ImageHandover::Writer writer = {};
    ASSERT_TRUE(handover.StepTakeWrite(&writer));
    handover.Publish(writer.slot);
    ImageHandover::Writer next = {};
    EXPECT_FALSE(handover.StepTakeWrite(&next));  // b still reads slot 0
    handover.LeaveRead(b.slot);
    EXPECT_TRUE(handover.StepTakeWrite(&next));
}

}  // namespace
