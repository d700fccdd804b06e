#include "frames/core/registry.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "../../testing.hpp"

namespace frames::core {
namespace {

using geometry::Quaternion;
using geometry::Transform;
using testing_support::text;
using time::Duration;
using time::Timestamp;

Timestamp at_s(double seconds) { return Timestamp{static_cast<time::u128>(seconds * 1e9)}; }

// A link with a distinct, non-trivial motion, so swapped or dropped links show in results.
Transform edge(std::string parent, std::string child, double seconds = 0, double x = 1.0) {
  const double angle = 0.1 * static_cast<double>(parent.size() + 3 * child.size());
  return Transform{{x, 0.5, -0.25}, {std::cos(angle), std::sin(angle), 0, 0}, at_s(seconds),
                   std::move(parent), std::move(child)};
}

// Runs one registry through the lines of a script, each with its expected outcome:
// "+ parent child [seconds [x]]" inserts (static without seconds), "- frame" removes,
// "? frame" tells whether it exists, "> from to [seconds]" looks up (at 3 s by default).
// A lookup that succeeds must carry the time asked and the frames named.
using Script = std::vector<std::pair<const char*, const char*>>;
void run(const Script& script, std::optional<Duration> max_age = Duration{10, 0}) {
  Registry registry(max_age);
  for (const auto& [line, expected] : script) {
    std::istringstream in(line);
    std::string op, a, b, s, x;
    in >> op >> a >> b >> s >> x;
    const double seconds = s.empty() ? (op == ">" ? 3 : 0) : std::stod(s);
    std::string got;
    const double x_value = x.empty() ? 1 : std::stod(x);
    if (op == "+") got = text(registry.process_add_transform(edge(a, b, seconds, x_value)));
    if (op == "-") got = registry.remove_frame(a) ? "removed" : "absent";
    if (op == "?") got = registry.frame_exists(a) ? "exists" : "unknown";
    if (op == ">") {
      const auto found = registry.process_get_transform(a, b, at_s(seconds));
      got = text(found);
      if (found) {
        EXPECT_EQ(std::tuple(found->timestamp, found->parent, found->child),
                  std::tuple(at_s(seconds), a, b));
      }
    }
    EXPECT_EQ(got, expected) << line;
  }
}

const char* const CYCLE = "inserting the transform would create a cycle in the frame tree";

TEST(Registry, InsertsRemovesAndExplainsEachOutcome) {
  const char* const non_finite = "transform error: transform contains non-finite values";
  const char* const reparenting =
      "re-parenting is not supported (the child frame's parent is world)";
  for (const Script& script : std::vector<Script>{
           // Cycles of new children; an existing child's own checks come first, though this
           // would also close a loop; a refused insert leaves no trace.
           {{"+ world base", "ok"}, {"+ base world", CYCLE}, {"+ base arm", "ok"},
            {"+ arm world", CYCLE}, {"+ arm base", reparenting}, {"+ odom leg 0 nan", non_finite},
            {"? odom", "unknown"}},
           // A removed frame keeps its children and frees its name once nothing names it;
           // it is then a new child again, under any parent, with the cycle check.
           {{"+ world base", "ok"}, {"+ base arm", "ok"}, {"+ world cam", "ok"},
            {"- never", "absent"}, {"- base", "removed"}, {"? base", "exists"},
            {"> arm world", "no transform chain connects arm and world"}, {"- cam", "removed"},
            {"? world", "unknown"}, {"+ arm base", CYCLE}, {"+ odom base", "ok"},
            {"> arm odom", "ok"}, {"> ghost ghost 1e9", "ok"}, {"> arm base 1e9", "ok"}},
           {{"> a b", "frame a does not exist in the transform tree"}},
           // The first failure is kept; one above the frames or their common ancestor is forgiven.
           {{"+ world arm 5", "ok"}, {"+ world cam 7", "ok"},
            {"> arm cam", "transform not found from arm to cam (frame arm: transform error: "
                          "requested timestamp 3 is outside the covered range [5, 5])"}},
           {{"+ world base 1", "ok"}, {"+ base arm", "ok"}, {"> base arm", "ok"}},
           {{"+ root world 1", "ok"}, {"+ world base", "ok"}, {"+ world cam", "ok"},
            {"> base cam", "ok"}},
           // Siblings leave their parent's list in any order, also after others joined it;
           // the ones left are still found once the parent's tree goes below a longer chain.
           {{"+ world c0", "ok"}, {"+ world c1", "ok"}, {"+ world c2", "ok"}, {"+ world c3", "ok"},
            {"- c0", "removed"}, {"+ world c4", "ok"}, {"- c3", "removed"}, {"- c1", "removed"},
            {"+ r0 r1", "ok"}, {"+ r1 r2", "ok"}, {"+ r2 r3", "ok"}, {"+ r3 world", "ok"},
            {"> r0 c2", "ok"}, {"> r0 c4", "ok"}},
       }) {
    run(script);
  }
  // Histories may arrive bottom-up; the walks still reach the root, either way through a
  // chain longer than a lookup keeps inline.
  Script chain;
  std::vector<std::string> lines;
  for (int i = 40; i > 0; --i) {
    lines.push_back("+ f" + std::to_string(i - 1) + " f" + std::to_string(i));
  }
  for (const std::string& line : lines) chain.emplace_back(line.c_str(), "ok");
  chain.insert(chain.end(), {{"> f40 f0", "ok"}, {"> f0 f40", "ok"}, {"+ f40 f0", CYCLE}});
  run(chain, std::nullopt);
}

// Results are bit for bit what composing the sampled Transforms in the lookup's order
// gives, whichever walk produced them: chain A alone, chain B alone, or both joined at the
// common ancestor after dropping the links above it that both sampled.
TEST(Registry, LookupEqualsTheComposedTransformsForEveryWalk) {
  Registry registry(Duration{10, 0});
  for (const Transform& t :
       {edge("root", "world", 1, 3.0), edge("root", "world", 3, 4.0), edge("world", "base", 1, 0.0),
        edge("world", "base", 3, 2.0), edge("base", "arm"), edge("base", "laser"),
        edge("world", "cam", 1, 1.0), edge("world", "cam", 3, -1.0)}) {
    ASSERT_TRUE(registry.process_add_transform(t));
  }
  const Timestamp time = at_s(2.25);
  const auto sampled = [&](const char* child) { return *registry.find(child)->get(time); };
  const auto inv = [](const Transform& t) { return *geometry::inverse(t); };
  const auto mul = [](const Transform& a, const Transform& b) { return *geometry::compose(a, b); };
  const Transform base = sampled("base"), arm = sampled("arm"), world_T_arm = mul(base, arm);
  for (auto [from, to, expected] : {std::tuple{"base", "world", inv(base)},
                                    {"arm", "world", inv(world_T_arm)},
                                    {"world", "arm", inv(mul(inv(arm), inv(base)))},
                                    {"arm", "cam", inv(mul(inv(sampled("cam")), world_T_arm))},
                                    {"arm", "laser", inv(mul(inv(sampled("laser")), arm))}}) {
    expected.timestamp = time;
    const auto got = registry.process_get_transform(from, to, time);
    EXPECT_EQ(got ? *got : Transform{}, expected) << from << " to " << to << ": " << text(got);
  }
}

// Names inside messages are escaped like quoted names, so a newline or a terminal control
// in a frame name can neither forge a log line nor reach the terminal.
TEST(Registry, EscapesEveryNameInItsMessages) {
  Registry registry(Duration{10, 0});
  for (const Transform& t : {edge("wor\"ld", "ba\nse", 1), edge("wor\"ld", "ba\nse", 2),
                             edge("ho\x1b[2Jme", "de\\sk")}) {
    ASSERT_TRUE(registry.process_add_transform(t));
  }
  EXPECT_EQ(text(registry.process_get_transform("wor\"ld", "ba\nse", at_s(3))),
            R"(transform not found from wor\"ld to ba\nse (frame ba\nse: transform error: )"
            R"(requested timestamp 3 is outside the covered range [1, 2]))");
  EXPECT_EQ(text(registry.process_get_transform("ba\nse", "de\\sk", at_s(1.5))),
            R"(no transform chain connects ba\nse and de\\sk)");
  EXPECT_EQ(text(registry.process_get_transform("ba\nse", "m\tars\r", {})),
            R"(frame m\tars\r does not exist in the transform tree)");
  EXPECT_EQ(text(registry.process_add_transform(edge("odom", "ba\nse", 3))),
            R"(re-parenting is not supported (the child frame's parent is wor\"ld))");
  EXPECT_EQ(to_string(BufferError{buffer_error::ChildMismatch{"ar\x1b]0;x\x07m"}}),
            R"(the buffer already stores a different child frame (ar\u{1b}]0;x\u{7}m))");
}

// Only interpolation can tell whether a gap too long for a Duration fails; the probe must
// leave it to the lookup rather than vouch for it.
TEST(RegistryProbe, LeavesGapsBeyond64BitsToTheLookup) {
  Registry registry(std::nullopt);
  for (const time::u128 ns : {time::u128{1}, ~time::u128{0}}) {
    Transform sample = edge("world", "gap");
    sample.timestamp = Timestamp{ns};
    ASSERT_TRUE(registry.process_add_transform(sample));
  }
  const Timestamp middle{time::u128{1} << 127};
  EXPECT_FALSE(registry.process_get_transform("world", "gap", middle).has_value());  // too long
  EXPECT_EQ(registry.probe_link("world", "gap", middle), Registry::Answer::Unsure);
  EXPECT_EQ(registry.probe_link("world", "gap", Timestamp{~time::u128{0}}),
            Registry::Answer::Succeeds);
}

}  // namespace
}  // namespace frames::core
