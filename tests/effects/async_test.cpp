// Runs over time, for every effect of the table: an asynchronous run gives
// the reference's pixels and one completion call; a second start while one
// runs is refused; progress reaches the whole image. Then what the
// grayscale effect, which starts its runs itself, adds of its own.
#include "support/effect_fixture.h"

namespace lumeno::testing {
namespace {

class AsyncTest : public EffectTest, public ::testing::WithParamInterface<const Effect*> {
 protected:
  const Effect& E() { return *GetParam(); }
  std::vector<bool> Forms() {
    return E().inPlaceForms ? std::vector<bool>{false, true} : std::vector<bool>{false};
  }
};

TEST_P(AsyncTest, AsyncMatchesTheReferenceAndCompletesOnce) {
  for (int64_t format : {host::kRGBA8, host::kRGB16, host::kGray8}) {
    for (bool inPlace : Forms()) {
      if (!E().accepts(*host::FindFormat(format), inPlace)) continue;
      SCOPED_TRACE(::testing::Message() << "format " << format << (inPlace ? " in place" : ""));
      Ref effect = NewEffect(E().className);
      ASSERT_TRUE(host().SetProperty(effect.get(), "MultiprocessingHint", int64_t{3}));
      Ref target = Target();
      Ref source = RandomBitmap(host(), 31, 40, format, 0, 11);
      const Image before = Packed(host(), source.get());
      const Values& values = E().samples.back();
      const Form form = inPlace ? Form::kInPlaceAsync : Form::kAsync;
      RunForm(host(), E(), form, effect.get(), source.get(), values, target.get(),
              CompletionMethod());
      ASSERT_EQ(Error(effect), 0);
      EXPECT_FALSE(Flag(effect, "AsyncCompleted"));
      RunForm(host(), E(), Form::kAsync, effect.get(), source.get(), values, target.get(),
              CompletionMethod());
      EXPECT_EQ(Error(effect), 10) << "a second start while running";
      ASSERT_TRUE(WaitForCompletion(target));
      EXPECT_EQ(Completions(target), 1);
      EXPECT_EQ(CompletionOf(target.get()).lastFilter, effect.get());
      EXPECT_TRUE(Flag(effect, "AsyncCompleted"));
      EXPECT_FALSE(Flag(effect, "Canceled"));
      Ref result(host(), host().GetObject(effect.get(), "AsyncResult"));
      ASSERT_TRUE(result);
      if (inPlace) {
        EXPECT_EQ(result.get(), source.get());
      }
      const RawBitmap& out = Rec(result.get());
      EXPECT_TRUE(SamePixels(ExpectedPixels(E(), before, out, {}, inPlace, values), out));
    }
  }
}

TEST_P(AsyncTest, ProgressHandlerSeesTheWholeImage) {
  Ref effect = NewEffect(E().className);
  Ref handler = NewProgressHandler(host());
  ASSERT_TRUE(host().SetProperty(effect.get(), "ProgressHandler", handler.get()));
  Ref source = RandomBitmap(host(), 10, 250, host::kRGB8, 0, 8);
  EXPECT_TRUE(Ref(host(), RunForm(host(), E(), PlainForm(E(), false), effect.get(), source.get(),
                                  E().samples[0])));
  const std::vector<ProgressCall> calls = ProgressOf(handler.get()).Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back().value, 250u);
  EXPECT_EQ(calls.back().total, 250u);
}

std::vector<const Effect*> EngineStarted() {
  std::vector<const Effect*> list;
  for (const Effect& e : Effects()) {
    if (!e.run) list.push_back(&e);  // the blend has tests of its own
  }
  return list;
}

INSTANTIATE_TEST_SUITE_P(Effects, AsyncTest, ::testing::ValuesIn(EngineStarted()),
                         [](const ::testing::TestParamInfo<const Effect*>& info) {
                           std::string name = info.param->shortName;
                           for (char& c : name) c = c == '-' ? '_' : c;
                           return name;
                         });

// -- The grayscale effect's own runs -------------------------------------------

class GrayscaleTest : public EffectTest {
 protected:
  const Effect& e = EffectNamed("GrayscaleEffectRaw");
};

// Gray sources come back as they are, the same object, by every form; the
// asynchronous forms complete before they return.
TEST_F(GrayscaleTest, GraySourcesAreReturnedAsTheyAre) {
  for (int64_t format : {host::kGray8, host::kGrayAlpha8, host::kGray16, host::kGrayAlpha16}) {
    SCOPED_TRACE(format);
    Ref effect = NewEffect(e.className);
    Ref target = Target();
    Ref source = RandomBitmap(host(), 7, 20, format, 0, 5);
    const std::vector<uint8_t> before = host::ReadPixels(Rec(source.get()));
    const size_t live = host().LiveObjects();
    const int64_t refs = host().RefCount(source.get());
    for (Form form : {Form::kApply, Form::kApplyStored}) {
      Ref same(host(), RunForm(host(), e, form, effect.get(), source.get(), {1, 0}));
      EXPECT_EQ(same.get(), source.get());
      EXPECT_EQ(host().RefCount(source.get()), refs + 1);
    }
    RunForm(host(), e, Form::kApplyInPlace, effect.get(), source.get(), {2, 0});
    for (Form form : {Form::kAsync, Form::kInPlaceAsync}) {
      const int count = Completions(target);
      RunForm(host(), e, form, effect.get(), source.get(), {0, 0}, target.get(),
              CompletionMethod());
      EXPECT_EQ(Completions(target), count + 1);
      EXPECT_TRUE(Flag(effect, "AsyncCompleted"));
      EXPECT_EQ(Ref(host(), host().GetObject(effect.get(), "AsyncResult")).get(), source.get());
      RunForm(host(), e, form, effect.get(), source.get(), {0, 0}, Object{nullptr},
              CompletionMethod());
      EXPECT_EQ(Completions(target), count + 1);
    }
    EXPECT_EQ(host::ReadPixels(Rec(source.get())), before);
    EXPECT_EQ(host().LiveObjects(), live);
    EXPECT_EQ(Error(effect), 0);
  }
}

TEST_F(GrayscaleTest, CancelledRunKeepsItsGrayDestination) {
  Ref effect = NewEffect(e.className);
  Ref source = RandomBitmap(host(), 900, 700, host::kRGBA8, 0, 41);
  RunForm(host(), e, Form::kAsync, effect.get(), source.get(), {0, 0}, Object{nullptr}, nullptr);
  host().Call<void>(effect.get(), "Cancel()");
  Ref result(host(), host().GetObject(effect.get(), "AsyncResult"));
  ASSERT_TRUE(result);
  EXPECT_EQ(Rec(result.get()).imageFormat, host::kGrayAlpha8);
  // Cancel() leaves Canceled set; the next start clears it and completes.
  EXPECT_TRUE(Flag(effect, "Canceled"));
  Ref target = Target();
  Ref small = RandomBitmap(host(), 64, 48, host::kRGB8, 0, 43);
  RunForm(host(), e, Form::kAsync, effect.get(), small.get(), {0, 0}, target.get(),
          CompletionMethod());
  EXPECT_FALSE(Flag(effect, "Canceled"));
  ASSERT_TRUE(WaitForCompletion(target));
  EXPECT_EQ(Completions(target), 1);
}

// The script drops the mask (and the effect) during masked runs; the runs
// keep using them and complete.
TEST_F(GrayscaleTest, MaskOutlivesTheRunThatReadsIt) {
  Ref source = RandomBitmap(host(), 600, 400, host::kRGBA8, 0, 51);
  Ref effect = NewEffect(e.className);
  for (bool dropEffect : {false, true}) {
    Ref target = Target();
    {
      Ref values = RandomMaskBitmap(host(), 600, 400, 8, 52);
      Ref mask(host(), host::CreateMask(host(), values.get(), false, 0));
      Ref second = NewEffect(e.className);
      Object runner = dropEffect ? second.get() : effect.get();
      ASSERT_TRUE(host().SetProperty(runner, "Mask", mask.get()));
      RunForm(host(), e, dropEffect ? Form::kInPlaceAsync : Form::kAsync, runner, source.get(),
              {0, 0}, target.get(), CompletionMethod());
      if (!dropEffect) {
        ASSERT_TRUE(host().SetProperty(runner, "Mask", Object{nullptr}));
      }
    }
    ASSERT_TRUE(WaitForCompletion(target));
    EXPECT_EQ(Completions(target), 1);
  }
}

}  // namespace
}  // namespace lumeno::testing
