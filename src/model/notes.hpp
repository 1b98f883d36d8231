// What each member and each tagged alternative of the model means, in plain words for the
// schema's descriptions (and so for the hints an editor shows while a person types).
//
// Notes are keyed by the member pointer of a field or by the alternative's own type, never
// by a JSON name: names, order and presence stay in forms.hpp alone.  A field or a tagged
// alternative without a note stops the build (see HasMemberNote and HasAlternativeNote).
#pragma once

#include <string_view>

#include "model/workout.hpp"

namespace tavrik::model {

template <auto Member>
struct MemberNote;

template <class Alternative>
struct AlternativeNote;

template <auto Member>
concept HasMemberNote = requires { MemberNote<Member>::text; };

template <class Alternative>
concept HasAlternativeNote = requires { AlternativeNote<Alternative>::text; };

#define TAVRIK_MEMBER_NOTE(Member, Text)                          \
    template <>                                                   \
    struct MemberNote<Member> {                                   \
        static constexpr std::string_view text = Text;            \
    }

#define TAVRIK_ALTERNATIVE_NOTE(Alternative, Text)                \
    template <>                                                   \
    struct AlternativeNote<Alternative> {                         \
        static constexpr std::string_view text = Text;            \
    }

// ---- the document and the tree ----

TAVRIK_MEMBER_NOTE(&Workout::id, "The document's identifier, any text.");
TAVRIK_MEMBER_NOTE(&Workout::version, "The version of the document as its author counts them, any text.");
TAVRIK_MEMBER_NOTE(&Workout::sport, "The sport, free text such as \"Running\".");
TAVRIK_MEMBER_NOTE(&Workout::date, "The date of the workout, free text (no format is checked); ISO 8601 is usual.");
TAVRIK_MEMBER_NOTE(&Workout::root, "The top node of the training tree.");
TAVRIK_MEMBER_NOTE(&Workout::streams, "The samples recorded while the workout was performed.");
TAVRIK_MEMBER_NOTE(&Workout::laps, "The laps recorded, each a range of the samples in `streams`.");
TAVRIK_MEMBER_NOTE(&Workout::metadata, "Free-form members about the whole document.");

TAVRIK_MEMBER_NOTE(&Node::id, "The node's identifier, which validation errors name.");
TAVRIK_MEMBER_NOTE(&Node::kind, "What the node stands for: a program, phase, week, day, session, block, "
                                "exercise, set or a kind of one's own.");
TAVRIK_MEMBER_NOTE(&Node::name, "A name for people, such as \"Back squat\".");
TAVRIK_MEMBER_NOTE(&Node::children, "The child nodes, in the order they are done.");
TAVRIK_MEMBER_NOTE(&Node::payload, "What the node prescribes; its `type` must suit the node's kind.");
TAVRIK_MEMBER_NOTE(&Node::metadata, "Free-form members about the node.");

TAVRIK_ALTERNATIVE_NOTE(NodeKind::Set, "One set: a single prescription of measures.");
TAVRIK_ALTERNATIVE_NOTE(NodeKind::Exercise, "One exercise, holding its sets.");
TAVRIK_ALTERNATIVE_NOTE(NodeKind::Block, "A group of exercises run in one execution mode.");
TAVRIK_ALTERNATIVE_NOTE(NodeKind::Session, "One training session.");
TAVRIK_ALTERNATIVE_NOTE(NodeKind::Day, "One day of training.");
TAVRIK_ALTERNATIVE_NOTE(NodeKind::Week, "One week of training.");
TAVRIK_ALTERNATIVE_NOTE(NodeKind::Phase, "One phase of a program, such as a mesocycle.");
TAVRIK_ALTERNATIVE_NOTE(NodeKind::Program, "A whole program.");
TAVRIK_ALTERNATIVE_NOTE(NodeKind::Custom, "A kind of one's own; `value` is its name.");

// ---- payloads ----

TAVRIK_ALTERNATIVE_NOTE(NodePayload::Leaf, "A set's prescription: its measures and, optionally, how hard.");
TAVRIK_ALTERNATIVE_NOTE(NodePayload::Exercise,
                        "An exercise's prescription: measures that hold for all its sets, how hard, and the rest "
                        "between sets.");
TAVRIK_ALTERNATIVE_NOTE(NodePayload::Block, "How a block's children run, and the rest after the block.");
TAVRIK_ALTERNATIVE_NOTE(NodePayload::Temporal,
                        "A grouping in time (program, phase, week, day, session), with an optional rest.");
TAVRIK_ALTERNATIVE_NOTE(NodePayload::Custom, "A payload of one's own: any members beside `type`.");

TAVRIK_MEMBER_NOTE(&NodePayload::Leaf::measures, "What the set prescribes; a set needs at least one measure.");
TAVRIK_MEMBER_NOTE(&NodePayload::Leaf::intensity, "How hard the set is meant to be.");
TAVRIK_MEMBER_NOTE(&NodePayload::Exercise::measures, "Measures that hold for every set of the exercise.");
TAVRIK_MEMBER_NOTE(&NodePayload::Exercise::intensity, "How hard the exercise is meant to be.");
TAVRIK_MEMBER_NOTE(&NodePayload::Exercise::rest_seconds, "Rest between the sets, in seconds.");
TAVRIK_MEMBER_NOTE(&NodePayload::Block::execution_mode, "How the block's children are run.");
TAVRIK_MEMBER_NOTE(&NodePayload::Block::rest_seconds, "Rest after the block, in seconds (for a circuit, usually between its rounds).");
TAVRIK_MEMBER_NOTE(&NodePayload::Temporal::rest_seconds, "Rest after this grouping, in seconds.");

TAVRIK_ALTERNATIVE_NOTE(ExecutionMode::Sequential, "The children one after another.");
TAVRIK_ALTERNATIVE_NOTE(ExecutionMode::Parallel, "The children at the same time, such as a superset.");
TAVRIK_ALTERNATIVE_NOTE(ExecutionMode::Circuit, "The children one after another, the whole round repeated.");
TAVRIK_ALTERNATIVE_NOTE(ExecutionMode::Custom, "A mode of one's own; `value` is its name.");
TAVRIK_MEMBER_NOTE(&ExecutionMode::Circuit::rounds, "How many times the round is done.");

TAVRIK_ALTERNATIVE_NOTE(Intensity::PercentOfMax, "A percentage of the maximum, such as 80.0 for 80 %.");
TAVRIK_ALTERNATIVE_NOTE(Intensity::RPE, "Rate of perceived exertion, usually 1 to 10.");
TAVRIK_ALTERNATIVE_NOTE(Intensity::RIR, "Repetitions in reserve: how many more could be done.");
TAVRIK_ALTERNATIVE_NOTE(Intensity::Bodyweight, "The body's own weight, no added load.");
TAVRIK_ALTERNATIVE_NOTE(Intensity::Custom, "An intensity of one's own: a name and any JSON value.");
TAVRIK_MEMBER_NOTE(&Intensity::Custom::name, "The intensity's name.");
TAVRIK_MEMBER_NOTE(&Intensity::Custom::value, "Its value, any JSON value.");

// ---- measures ----

TAVRIK_ALTERNATIVE_NOTE(Measure::Reps, "A number of repetitions.");
TAVRIK_ALTERNATIVE_NOTE(Measure::Weight, "A load, in the unit given.");
TAVRIK_ALTERNATIVE_NOTE(Measure::Distance, "A distance, in the unit given.");
TAVRIK_ALTERNATIVE_NOTE(Measure::Duration, "A length of time.");
TAVRIK_ALTERNATIVE_NOTE(Measure::Pace, "A pace: seconds per one `per` unit of distance.");
TAVRIK_ALTERNATIVE_NOTE(Measure::HeartRate, "A heart rate.");
TAVRIK_ALTERNATIVE_NOTE(Measure::Calories, "Energy expended, in kilocalories (the \"calories\" of training logs).");
TAVRIK_ALTERNATIVE_NOTE(Measure::Custom, "A measure of one's own: a name and any JSON value.");
TAVRIK_MEMBER_NOTE(&Measure::Weight::amount, "How much, in `unit`.");
TAVRIK_MEMBER_NOTE(&Measure::Weight::unit, "The unit of `amount`.");
TAVRIK_MEMBER_NOTE(&Measure::Distance::amount, "How far, in `unit`.");
TAVRIK_MEMBER_NOTE(&Measure::Distance::unit, "The unit of `amount`.");
TAVRIK_MEMBER_NOTE(&Measure::Duration::seconds, "How long, in seconds.");
TAVRIK_MEMBER_NOTE(&Measure::Pace::per, "The unit of distance the time is given for.");
TAVRIK_MEMBER_NOTE(&Measure::Pace::seconds, "Seconds per one `per` unit.");
TAVRIK_MEMBER_NOTE(&Measure::HeartRate::bpm, "Beats per minute.");
TAVRIK_MEMBER_NOTE(&Measure::Custom::name, "The measure's name.");
TAVRIK_MEMBER_NOTE(&Measure::Custom::value, "Its value, any JSON value.");

// ---- recorded data ----

TAVRIK_MEMBER_NOTE(&Streams::timestamps,
                   "When each sample was taken, one entry per sample; every channel has one value per entry.");
TAVRIK_MEMBER_NOTE(&Streams::channels, "The channels sampled at `timestamps`.");
TAVRIK_MEMBER_NOTE(&Stream::metric, "What the channel records.");
TAVRIK_MEMBER_NOTE(&Stream::data, "The channel's samples, one per timestamp.");
TAVRIK_ALTERNATIVE_NOTE(StreamData::Scalar, "One number per sample.");
TAVRIK_ALTERNATIVE_NOTE(StreamData::Position, "One position per sample, or null where there was no fix.");
TAVRIK_MEMBER_NOTE(&Position::lat, "Latitude in degrees, -90 to 90.");
TAVRIK_MEMBER_NOTE(&Position::lng, "Longitude in degrees, -180 to 180.");
TAVRIK_MEMBER_NOTE(&Position::altitude, "Altitude, when the device gave one.");
TAVRIK_MEMBER_NOTE(&Lap::start_index, "The index of the lap's first sample in `streams.timestamps`.");
TAVRIK_MEMBER_NOTE(&Lap::end_index, "The index of the lap's last sample in `streams.timestamps`.");
TAVRIK_MEMBER_NOTE(&Lap::summary, "Figures for the lap by name, such as \"avg_hr\"; numbers only.");
TAVRIK_MEMBER_NOTE(&Lap::trigger, "What ended the lap.");
TAVRIK_MEMBER_NOTE(&Lap::name, "A name for people, such as \"Rep 1\".");

#undef TAVRIK_MEMBER_NOTE
#undef TAVRIK_ALTERNATIVE_NOTE

}  // namespace tavrik::model
