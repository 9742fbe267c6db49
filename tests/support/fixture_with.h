#pragma once

// A fixture made with other settings, as a suite of its own:
//
//   using SlowServerTest = test_support::FixtureWith<ServerTest, slow_settings>;
//   TEST_F(SlowServerTest, ...)
//
// Fixture takes the settings in its constructor; make_settings is a function
// that returns them.

namespace test_support {

template <class Fixture, auto make_settings>
class FixtureWith : public Fixture {
protected:
    FixtureWith() : Fixture(make_settings()) {}
};

}  // namespace test_support
