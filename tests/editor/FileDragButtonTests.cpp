#include "EditorTestSupport.h"

namespace
{
// The button on its own, with no window: no real drag can start, and the framework's
// external drag returns at once without a window to start it from.
struct DragButton : ::testing::Test
{
    void SetUp() override
    {
        button.setBounds (0, 0, 200, 40);
        button.setVisible (true);
        original = writeWav (scratch.dir.getChildFile ("Owned Kick.wav"), 1000);
        processor.loadedFile = original;
        processor.loadedIsOriginal = true;
    }

    // Through the component's interface, as the framework delivers it.
    void press()
    {
        static_cast<juce::Component&> (button).mouseDown (mouseEventAt (button, pressPoint, pressPoint, false));
    }

    void dragBy (float dx, float dy)
    {
        button.mouseDrag (mouseEventAt (button, pressPoint + juce::Point<float> (dx, dy), pressPoint, true));
    }

    void release() { button.mouseUp (mouseEventAt (button, pressPoint, pressPoint, false)); }

    bool started() const { return FileDragButtonTestAccess::dragStarted (button); }

    ScratchDir scratch;
    TolvaneProcessor processor;
    FileDragButton button{ "Drag original file to DAW", &processor };
    juce::File original;
    const juce::Point<float> pressPoint{ 100.0f, 20.0f };
};
} // namespace

TEST_F (DragButton, StartsOnlyBeyondEightPixels)
{
    const struct
    {
        float dx, dy;
        bool starts;
    } cases[] = {
        { 8.0f, 0.0f, false }, { 0.0f, -8.0f, false }, { 6.0f, 6.0f, false }, // 8.49 is 8
        { 8.4f, 0.0f, false }, { 9.0f, 0.0f, true },   { 0.0f, 9.0f, true },
        { 6.0f, 7.0f, true },  { 8.6f, 0.0f, true },   { -40.0f, 3.0f, true },
    };

    for (const auto& c : cases)
    {
        press();
        dragBy (c.dx, c.dy);
        EXPECT_EQ (started(), c.starts) << c.dx << ", " << c.dy;
        release();
        EXPECT_FALSE (started());
    }
}

TEST_F (DragButton, OnePressStartsOneDragAndReleaseAllowsTheNext)
{
    press();
    dragBy (2.0f, 0.0f);
    EXPECT_FALSE (started());

    const auto before = juce::Time::getMillisecondCounterHiRes();
    dragBy (20.0f, 0.0f);
    EXPECT_LT (juce::Time::getMillisecondCounterHiRes() - before, 2000.0) << "the drag call must not block";
    EXPECT_TRUE (started());

    // However far the pointer goes, the press keeps its one drag, and the button stays pressed:
    // the framework's own drag handling would let go of it once the pointer is not over it.
    for (float d = 25.0f; d < 400.0f; d += 25.0f)
        dragBy (d, d / 2.0f);
    EXPECT_TRUE (started());
    EXPECT_EQ (button.getState(), juce::Button::buttonDown);

    release();
    EXPECT_FALSE (started());
    EXPECT_NE (button.getState(), juce::Button::buttonDown);

    press();
    dragBy (0.0f, 12.0f);
    EXPECT_TRUE (started());
    release();
}

TEST_F (DragButton, NothingToDragStartsNothing)
{
    // A preview on disk.
    processor.loadedIsOriginal = false;
    press();
    dragBy (30.0f, 0.0f);
    EXPECT_FALSE (started());
    release();

    // Before any load: no file, although the flag starts true.
    processor.loadedIsOriginal = true;
    processor.loadedFile = juce::File();
    press();
    dragBy (30.0f, 0.0f);
    EXPECT_FALSE (started());
    release();

    // An original that has left the disk, and a directory in its place.
    processor.loadedFile = original;
    ASSERT_TRUE (original.deleteFile());
    press();
    dragBy (30.0f, 0.0f);
    EXPECT_FALSE (started());
    ASSERT_TRUE (original.createDirectory());
    dragBy (31.0f, 0.0f);
    EXPECT_FALSE (started());
    release();
}

TEST_F (DragButton, ConditionsAreTestedAgainOnEveryMove)
{
    processor.loadedIsOriginal = false;
    press();
    dragBy (30.0f, 0.0f);
    EXPECT_FALSE (started());

    // The same press picks up the change at its next move.
    processor.loadedIsOriginal = true;
    dragBy (31.0f, 0.0f);
    EXPECT_TRUE (started());
    release();

    ASSERT_TRUE (original.deleteFile());
    press();
    dragBy (30.0f, 0.0f);
    EXPECT_FALSE (started());
    writeWav (original, 1000);
    dragBy (31.0f, 0.0f);
    EXPECT_TRUE (started());
    release();
}

TEST_F (DragButton, ReleaseIsAnOrdinaryButtonRelease)
{
    int clicks = 0;
    button.onClick = [&clicks] { ++clicks; };

    press();
    EXPECT_EQ (button.getState(), juce::Button::buttonDown);
    release();
    EXPECT_EQ (clicks, 1);
    EXPECT_NE (button.getState(), juce::Button::buttonDown);
}
