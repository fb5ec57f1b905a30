// Random operator sequences on the real panel, the real binding and the
// virtual board, compared after every action with the reference model in
// panel_model.h. A divergence is shrunk to the shortest sequence that still
// diverges and printed as a unit test that replays it.
#include "board_record.h"
#include "panel_model.h"
#include "recording_services.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <numeric>
#include <random>
#include <sstream>

namespace {

constexpr std::uint32_t kFirstSeed = 1;
constexpr std::uint32_t kSequences = 10000;
constexpr std::uint32_t kMaxActions = 50;

struct Action {
    enum class Kind { Click, InitInterface, SendState, ReleaseAll, CloseDevice, Fail, ShortWrite };
    Kind kind = Kind::Click;
    int relay = 0;                                     // Click
    model::Function function = model::Function::Open;  // Fail
    std::uint32_t value = 0;  // Fail: the status, 0 takes the fault away; ShortWrite: bytes short
};
using Kind = Action::Kind;
using Sequence = std::vector<Action>;

bool IsCommand(const Action& action)
{
    return action.kind == Kind::InitInterface || action.kind == Kind::SendState || action.kind == Kind::ReleaseAll ||
           action.kind == Kind::CloseDevice;
}

void ApplyToModel(model::Panel& m, const Action& action)
{
    switch (action.kind) {
    case Kind::Click:
        m.Click(action.relay);
        break;
    case Kind::InitInterface:
        m.InitInterface();
        break;
    case Kind::SendState:
        m.SendState();
        break;
    case Kind::ReleaseAll:
        m.ReleaseAll();
        break;
    case Kind::CloseDevice:
        m.CloseDevice();
        break;
    case Kind::Fail:
        m.board.faults.at(static_cast<std::size_t>(action.function)) = action.value;
        break;
    case Kind::ShortWrite:
        m.board.missing = action.value;
        break;
    }
}

// One random action. The weights follow the model's state, so that most
// sequences look like an operator at work and run long, with now and then a
// command out of turn; how often faults are injected depends on the
// sequence's hostility (0 to 2), and faults are taken away again.
Action RandomAction(std::mt19937& random, const model::Panel& m, std::uint32_t hostility)
{
    const auto below = [&random](std::uint32_t bound) { return static_cast<std::uint32_t>(random() % bound); };
    const bool open = m.board.open;
    const bool faulty = std::any_of(m.board.faults.begin(), m.board.faults.end(), [](auto f) { return f != 0; });
    const std::array<std::uint32_t, 9> weights = {
        40,                              // click
        open ? 1U : 20U,                 // InitInterface
        open ? 12U : 1U,                 // SendState
        open ? 8U : 1U,                  // ReleaseAll
        open ? 4U : 1U,                  // CloseDevice
        2 * hostility,                   // inject a refusal
        faulty ? 6U : 0U,                // take one away
        hostility,                       // inject a short write
        m.board.missing != 0 ? 6U : 0U,  // take it away
    };
    std::uint32_t roll = below(std::accumulate(weights.begin(), weights.end(), 0U));
    std::size_t choice = 0;
    while (roll >= weights.at(choice)) {
        roll -= weights.at(choice++);
    }
    static constexpr std::array<std::uint32_t, 6> kStatuses = {1, 2, 3, 4, 18, 0xFFFFFFFF};
    Action action;
    switch (choice) {
    case 0:
        action.relay = static_cast<int>(1 + below(8));
        break;
    case 1:
        action.kind = Kind::InitInterface;
        break;
    case 2:
        action.kind = Kind::SendState;
        break;
    case 3:
        action.kind = Kind::ReleaseAll;
        break;
    case 4:
        action.kind = Kind::CloseDevice;
        break;
    case 5:
    case 6:
        action.kind = Kind::Fail;
        action.function = static_cast<model::Function>(below(5));
        action.value = choice == 6 ? 0 : kStatuses.at(below(static_cast<std::uint32_t>(kStatuses.size())));
        break;
    default:
        action.kind = Kind::ShortWrite;
        action.value = choice == 7 ? 1 + below(3) : 0;
        break;
    }
    return action;
}

// Up to kMaxActions actions; none after the one that ends the program.
Sequence RandomSequence(std::uint32_t seed)
{
    std::mt19937 random(seed);
    const auto length = 1 + random() % kMaxActions;
    const auto hostility = static_cast<std::uint32_t>(random() % 3);
    model::Panel m;
    Sequence actions;
    while (actions.size() < length && !m.ended) {
        actions.push_back(RandomAction(random, m, hostility));
        ApplyToModel(m, actions.back());
    }
    return actions;
}

// The action as a statement of a unit test on PanelUnderTest t.
std::string Code(const Action& action)
{
    switch (action.kind) {
    case Kind::Click:
        return "t.services.ClickBox(" + std::to_string(action.relay) + ");";
    case Kind::InitInterface:
        return "t.panel.InitInterface();";
    case Kind::SendState:
        return "t.panel.SendState();";
    case Kind::ReleaseAll:
        return "t.panel.ReleaseAll();";
    case Kind::CloseDevice:
        return "t.panel.CloseDevice();";
    case Kind::Fail:
        return "vboard_fail(\"" + std::string(model::NameOf(action.function)) + "\", " + std::to_string(action.value) +
               ");";
    case Kind::ShortWrite:
        return "vboard_short_write(" + std::to_string(action.value) + ");";
    }
    return {};
}

enum class Ending { None, EndProgram, FatalError };

Ending ApplyToPanel(PanelUnderTest& t, const Action& action)
{
    try {
        switch (action.kind) {
        case Kind::Click:
            t.services.ClickBox(action.relay);
            break;
        case Kind::InitInterface:
            t.panel.InitInterface();
            break;
        case Kind::SendState:
            t.panel.SendState();
            break;
        case Kind::ReleaseAll:
            t.panel.ReleaseAll();
            break;
        case Kind::CloseDevice:
            t.panel.CloseDevice();
            break;
        case Kind::Fail:
            vboard_fail(model::NameOf(action.function), action.value);
            break;
        case Kind::ShortWrite:
            vboard_short_write(action.value);
            break;
        }
    } catch (const ProgramEnded& ended) {
        return ended.fault ? Ending::FatalError : Ending::EndProgram;
    }
    return Ending::None;
}

// Printing of what differs; only called on a difference.
std::string Show(bool yes)
{
    return yes ? "yes" : "no";
}
std::string Show(std::uint32_t value)
{
    return std::to_string(value);
}
std::string Show(const std::string& text)
{
    return '"' + text + '"';
}
std::string Show(d2xx::FT_HANDLE handle)
{
    return std::to_string(reinterpret_cast<std::intptr_t>(handle));
}
std::string Show(const model::Call& call)
{
    return std::string(model::NameOf(call.function)) + "=" + std::to_string(call.status);
}
template <typename Item>
std::string Show(const std::vector<Item>& items)
{
    std::string text = "{";
    for (const Item& item : items) {
        text += (text.size() > 1 ? ", " : "") + Show(item);
    }
    return text + "}";
}
template <typename Item, std::size_t N>
std::string Show(const std::array<Item, N>& items)
{
    return Show(std::vector<Item>(items.begin(), items.end()));
}

// Compares everything the operator and the board show; says what differs.
class Comparison {
public:
    template <typename Value>
    void Check(const char* what, const Value& panel, const Value& model)
    {
        if (!(panel == model)) {
            m_text += std::string("  ") + what + ": panel " + Show(panel) + ", model " + Show(model) + "\n";
        }
    }
    void Note(const std::string& text) { m_text += "  " + text + "\n"; }
    const std::string& Text() const { return m_text; }

private:
    std::string m_text;
};

// Real handles behind the model's tokens, bound at the open that hands each out.
class Handles {
public:
    // Binds a token the model has just handed out to the panel's handle.
    void Bind(model::Token token, d2xx::FT_HANDLE real, Comparison& comparison)
    {
        if (static_cast<std::size_t>(token) <= m_real.size()) {
            return;
        }
        if (real == nullptr || std::find(m_real.begin(), m_real.end(), real) != m_real.end()) {
            comparison.Note("the open handed out no fresh handle: " + Show(real));
        }
        m_real.push_back(real);
    }
    d2xx::FT_HANDLE Real(model::Token token) const
    {
        return token == 0 ? nullptr : m_real.at(static_cast<std::size_t>(token - 1));
    }

private:
    std::vector<d2xx::FT_HANDLE> m_real;
};

std::vector<std::string> Lines(const model::Panel& m, const Handles& handles)
{
    std::vector<std::string> lines;
    lines.reserve(m.lines.size());
    for (const model::Line& line : m.lines) {
        lines.push_back(line.handle ? line.text + Show(handles.Real(*line.handle)) : line.text);
    }
    return lines;
}

std::vector<model::Call> BoardCalls()
{
    std::vector<model::Call> calls;
    for (std::size_t i = 0; i < vboard_call_count(); ++i) {
        const auto* name =
            std::find_if(model::kFunctionNames.begin(), model::kFunctionNames.end(),
                         [&](const char* known) { return std::strcmp(known, vboard_call_name(i)) == 0; });
        calls.push_back({static_cast<model::Function>(name - model::kFunctionNames.begin()), vboard_call_status(i)});
    }
    return calls;
}

std::string Compare(const PanelUnderTest& t, Ending ending, const model::Panel& m, Handles& handles)
{
    Comparison c;
    handles.Bind(m.devHandle, t.panel.devHandle(), c);
    const auto widen = [](const auto& bytes) { return std::vector<std::uint32_t>(bytes.begin(), bytes.end()); };

    std::vector<std::uint32_t> boxes;
    for (const bool ticked : m.boxes) {
        boxes.push_back(ticked ? 1 : 0);
    }
    c.Check("relay boxes", widen(t.services.values), boxes);
    c.Check("relay byte", std::uint32_t{t.panel.relayByte()}, std::uint32_t{m.relayByte});
    c.Check("handle", t.panel.devHandle(), handles.Real(m.devHandle));
    c.Check("frame", widen(t.panel.outFrame()),
            m.outFrame ? std::vector<std::uint32_t>{*m.outFrame} : std::vector<std::uint32_t>{});
    c.Check("status lines", t.services.lines, Lines(m, handles));
    c.Check("failure boxes", t.services.boxes, m.failureBoxes);
    c.Check("program ended", ending != Ending::None, m.ended);
    c.Check("fatal error", ending == Ending::FatalError, false);

    c.Check("board relays", std::uint32_t{vboard_relays()}, std::uint32_t{m.board.relays});
    c.Check("board open", vboard_is_open() != 0, m.board.open);
    c.Check("board baud rate", vboard_baud_rate(), m.board.baudRate);
    c.Check("board bit mask", std::uint32_t{vboard_bit_mask()}, std::uint32_t{m.board.mask});
    c.Check("board bit mode", std::uint32_t{vboard_bit_mode()}, std::uint32_t{m.board.mode});
    c.Check("bytes written to the relays", widen(WrittenBytes()), widen(m.board.written));
    c.Check("driver calls", BoardCalls(), m.board.calls);
    return c.Text();
}

struct Divergence {
    std::size_t step;  // index of the action after which the two differ
    std::string what;
};

// What the random runs reached, so that a generator that stopped reaching
// the interesting states shows up as a failure rather than as a quiet pass.
struct Reach {
    std::size_t actions = 0;
    std::size_t fullLength = 0;        // sequences of 40 actions or more that did not end the program
    std::size_t relayWrites = 0;       // bytes that reached the relays
    std::size_t outOfStepUnticks = 0;  // unticks of a box whose bit the init had cleared
    std::map<std::string, std::size_t> failureBoxes;
};

std::optional<Divergence> RunSideBySide(const Sequence& actions, bool noticesShortWrites = true, Reach* reach = nullptr)
{
    vboard_quiet(1);  // thousands of writes: their lines on stderr would bury a report
    vboard_reset();
    PanelUnderTest t;
    model::Panel m;
    m.noticesShortWrites = noticesShortWrites;
    Handles handles;
    std::size_t step = 0;
    for (; step < actions.size() && !m.ended; ++step) {
        const Action& action = actions[step];
        if (reach != nullptr && action.kind == Kind::Click) {
            const auto index = static_cast<std::size_t>(action.relay - 1);
            reach->outOfStepUnticks += m.boxes.at(index) && (m.relayByte & (1U << index)) == 0 ? 1U : 0U;
        }
        const Ending ending = ApplyToPanel(t, action);
        ApplyToModel(m, action);
        if (std::string what = Compare(t, ending, m, handles); !what.empty()) {
            return Divergence{step, std::move(what)};
        }
    }
    if (reach != nullptr) {
        reach->actions += step;
        reach->fullLength += !m.ended && step >= 40 ? 1U : 0U;
        reach->relayWrites += m.board.written.size();
        for (const std::string& box : m.failureBoxes) {
            ++reach->failureBoxes[box];
        }
    }
    return std::nullopt;
}

// The shortest sequence found that still fails: drops runs of actions, long
// runs first, until not even a single action can go.
Sequence Shrink(Sequence actions, const std::function<bool(const Sequence&)>& fails)
{
    for (bool shrunk = true; shrunk;) {
        shrunk = false;
        for (std::size_t run = std::max<std::size_t>(actions.size() / 2, 1); run >= 1; run /= 2) {
            for (std::size_t start = 0; start + run <= actions.size();) {
                Sequence candidate = actions;
                const auto first = candidate.begin() + static_cast<std::ptrdiff_t>(start);
                candidate.erase(first, first + static_cast<std::ptrdiff_t>(run));
                if (fails(candidate)) {
                    actions = std::move(candidate);
                    shrunk = true;
                } else {
                    start += run;
                }
            }
        }
    }
    return actions;
}

// A unit test that replays the sequence; commands the model ends on are
// wrapped in ExpectEnd.
std::string ReplayCode(const std::string& name, const Sequence& actions, const Divergence& divergence)
{
    std::ostringstream code;
    code << "TEST(ModelReplay, " << name << ")\n{\n    vboard_reset();\n    PanelUnderTest t;\n";
    model::Panel m;
    for (std::size_t step = 0; step < actions.size(); ++step) {
        ApplyToModel(m, actions[step]);
        const std::string statement = Code(actions[step]);
        if (m.ended && IsCommand(actions[step])) {
            code << "    ExpectEnd([&] { " << statement << " });\n";
        } else {
            code << "    " << statement << "\n";
        }
        if (step == divergence.step) {
            code << "    // Here the panel and the model differ:\n";
            std::istringstream lines(divergence.what);
            for (std::string line; std::getline(lines, line);) {
                code << "    // " << line << "\n";
            }
        }
    }
    code << "}\n";
    return code.str();
}

struct Shrunk {
    Sequence actions;
    Divergence divergence;
};

// The shortest failing sequence and its divergence.
Shrunk ShrinkDivergence(const Sequence& actions, bool noticesShortWrites)
{
    const Sequence shortest = Shrink(
        actions, [&](const Sequence& candidate) { return RunSideBySide(candidate, noticesShortWrites).has_value(); });
    return {shortest, *RunSideBySide(shortest, noticesShortWrites)};
}

TEST(ModelTest, RandomOperatorSequencesBehaveAsTheModelSays)
{
    Reach reach;
    for (std::uint32_t seed = kFirstSeed; seed < kFirstSeed + kSequences; ++seed) {
        const Sequence actions = RandomSequence(seed);
        if (const auto divergence = RunSideBySide(actions, true, &reach)) {
            const Shrunk shortest = ShrinkDivergence(actions, true);
            FAIL() << "Seed " << seed << " diverges from the model at action " << divergence->step + 1 << " of "
                   << actions.size() << ":\n"
                   << divergence->what << "Shortest sequence that diverges (" << shortest.actions.size()
                   << " actions), as a unit test:\n"
                   << ReplayCode("Seed" + std::to_string(seed), shortest.actions, shortest.divergence);
        }
    }
    std::cout << kSequences << " sequences, " << reach.actions << " actions, " << reach.fullLength
              << " long ones run to their end, " << reach.relayWrites << " bytes on the relays, "
              << reach.outOfStepUnticks << " unticks after a reset\n";
    for (const auto& [box, count] : reach.failureBoxes) {
        std::cout << "  " << count << " x \"" << box << "\"\n";
    }
    EXPECT_GT(reach.fullLength, 100U);
    EXPECT_GT(reach.relayWrites, 1000U);
    EXPECT_GT(reach.outOfStepUnticks, 100U);
    for (const char* box : {"Open failed", "Baudraten Einstellungsfehler", "Bitmode fehlerhaft gesetzt",
                            "Schreiben fehlerhaft", "Schliessen FTDI Schaltkreis fehlerhaft"}) {
        EXPECT_GT(reach.failureBoxes[box], 10U) << box;
    }
}

// The comparison and the shrinking must catch a wrong model: one that lets a
// short write pass is found out, and in the fewest steps that show it.
TEST(ModelTest, AModelBlindToShortWritesIsCaughtInThreeActions)
{
    for (std::uint32_t seed = kFirstSeed; seed < kFirstSeed + kSequences; ++seed) {
        const Sequence actions = RandomSequence(seed);
        if (!RunSideBySide(actions, false)) {
            continue;
        }
        const Shrunk shrunk = ShrinkDivergence(actions, false);
        const Sequence& shortest = shrunk.actions;
        const Divergence& why = shrunk.divergence;
        ASSERT_EQ(shortest.size(), 3U) << ReplayCode("Blind", shortest, why);
        EXPECT_EQ(why.step, 2U);
        EXPECT_NE(why.what.find("failure boxes"), std::string::npos) << why.what;
        const auto has = [&](Kind kind) {
            return std::any_of(shortest.begin(), shortest.end(), [&](const Action& a) { return a.kind == kind; });
        };
        EXPECT_TRUE(has(Kind::InitInterface));
        EXPECT_TRUE(std::any_of(shortest.begin(), shortest.end(),
                                [](const Action& a) { return a.kind == Kind::ShortWrite && a.value != 0; }));
        EXPECT_TRUE(shortest.back().kind == Kind::SendState || shortest.back().kind == Kind::ReleaseAll);
        const std::string code = ReplayCode("Blind", shortest, why);
        EXPECT_NE(code.find("vboard_short_write("), std::string::npos) << code;
        EXPECT_NE(code.find("ExpectEnd([&] { t.panel."), std::string::npos) << code;
        return;
    }
    FAIL() << "no sequence wrote while the board reported a short write";
}

TEST(ModelTest, ShrinkKeepsOnlyTheActionsTheFailureNeeds)
{
    // Fails whenever box 3 is clicked somewhere before a close.
    const auto fails = [](const Sequence& actions) {
        const auto click = std::find_if(actions.begin(), actions.end(),
                                        [](const Action& a) { return a.kind == Kind::Click && a.relay == 3; });
        return std::any_of(click, actions.end(), [](const Action& a) { return a.kind == Kind::CloseDevice; });
    };
    Sequence actions = RandomSequence(7);
    actions.insert(actions.begin() + 1, Action{Kind::Click, 3});
    actions.push_back(Action{Kind::CloseDevice});
    ASSERT_TRUE(fails(actions));
    const Sequence shortest = Shrink(actions, fails);
    ASSERT_EQ(shortest.size(), 2U);
    EXPECT_EQ(Code(shortest[0]), "t.services.ClickBox(3);");
    EXPECT_EQ(Code(shortest[1]), "t.panel.CloseDevice();");
}

}  // namespace
