#include "comparisons.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <exception>
#include <functional>
#include <memory>
#include <opencv2/core.hpp>

#include "images.h"
#include "ours.h"
#include "peer.h"
#include "reliefkit.h"
#include "settings.h"

namespace rkbench {
namespace {

// One side of a comparison. prepare runs outside the clock before each call:
// it resets in-place inputs and drops the previous output, so that every call
// makes its result afresh, as a host's call would. result views the image the
// last call made; it is empty when the output is a file.
struct Side {
    std::function<void()> prepare = [] {};
    std::function<void()> call;
    std::function<cv::Mat()> result;
};

double megapixels(const imgbuf* img) {
    return static_cast<double>(img->width) * img->height / 1e6;
}

void timed(benchmark::State& state, const Side& side) {
    // A failing operation marks its row as failed instead of ending the run.
    try {
        for (auto _ : state) {
            state.PauseTiming();
            side.prepare();
            state.ResumeTiming();
            side.call();
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

// Largest |ours - OpenCV| over red, green and blue of one call of each side.
double max_difference(const Side& ours, const Side& peer) {
    ours.prepare();
    ours.call();
    const cv::Mat a = ours.result().clone();
    peer.prepare();
    peer.call();
    cv::Mat diff;
    cv::absdiff(a, peer.result(), diff);
    double worst = 0.0;
    for (int c = 0; c < 3; ++c) {
        cv::Mat lane;
        cv::extractChannel(diff, lane, c);
        double lo = 0.0, hi = 0.0;
        cv::minMaxLoc(lane, &lo, &hi);
        worst = std::max(worst, hi);
    }
    return worst;
}

class Registry {
  public:
    explicit Registry(int repetitions) : repetitions_(repetitions) {}

    void add(const std::string& label, double mp, Side ours, Side peer) {
        Comparison c{label, mp, {}};
        if (ours.result && peer.result) {
            c.max_difference = [ours, peer] { return max_difference(ours, peer); };
        }
        add_one("ours/" + label, std::move(ours));
        add_one("peer/" + label, std::move(peer));
        comparisons_.push_back(std::move(c));
    }

    std::vector<Comparison> take() { return std::move(comparisons_); }

  private:
    void add_one(const std::string& name, Side side) {
        benchmark::RegisterBenchmark(name.c_str(),
                                     [side](benchmark::State& st) { timed(st, side); })
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1)
            ->Repetitions(repetitions_)
            ->ComputeStatistics(
                "min",
                [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
            ->DisplayAggregatesOnly(true);
    }

    int repetitions_;
    std::vector<Comparison> comparisons_;
};

// Our output image, released by prepare before the next call.
struct OurOutput {
    std::shared_ptr<rk::ImgbufPtr> image = std::make_shared<rk::ImgbufPtr>();
    std::function<void()> release() const {
        return [image = image] { image->reset(); };
    }
    std::function<cv::Mat()> view() const {
        return [image = image] { return as_mat(image->get()); };
    }
};

struct PeerOutput {
    std::shared_ptr<cv::Mat> mat = std::make_shared<cv::Mat>();
    std::function<void()> release() const {
        return [mat = mat] { mat->release(); };
    }
    std::function<cv::Mat()> view() const {
        return [mat = mat] { return *mat; };
    }
};

// Our in-place operations reset the shared work image to their input.
Side ours_in_place(imgbuf* work, const imgbuf* src, std::function<void(imgbuf*)> op) {
    return {[=] { copy_imgbuf_content(work, src); }, [=] { op(work); },
            [=] { return as_mat(work); }};
}

// Separable smoothing: ours in place (with its temporary), OpenCV into a new image.
void add_smoothing(Registry& reg, Inputs& in, const std::string& label, rk::KernelKind kind,
                   uint32_t size) {
    const imgbuf* src = in.random.get();
    const PeerOutput out;
    const cv::Mat kernel = peer::taps(kind, size);
    reg.add(label, megapixels(src),
            ours_in_place(in.work.get(), src, [=](imgbuf* img) { ours::smooth(img, kind, size); }),
            {out.release(), [=] { peer::smooth(as_mat(src), *out.mat, kernel); }, out.view()});
}

void add_detail(Registry& reg, Inputs& in, const std::string& label, const imgbuf* src) {
    constexpr uint32_t kSize = 15;
    constexpr float kThreshold = 0.05f;
    imgbuf* work = in.work.get();
    const cv::Mat kernel = peer::taps(rk::KERNEL_GAUSSIAN, kSize);
    reg.add(label, megapixels(src),
            ours_in_place(work, src, [](imgbuf* img) { ours::detail(img, kSize, kThreshold); }),
            ours_in_place(work, src, [=](imgbuf* img) {
                cv::Mat view = as_mat(img);
                peer::detail(view, kernel, kThreshold);
            }));
}

void add_generators(Registry& reg, Inputs& in) {
    const imgbuf* photo = in.photo.get();
    const imgbuf* height = in.height.get();
    const OurOutput ours_height, ours_normal;
    const PeerOutput peer_height, peer_normal;
    reg.add(labels::heightmap, megapixels(photo),
            {ours_height.release(), [=] { *ours_height.image = ours::heightmap(photo); },
             ours_height.view()},
            {peer_height.release(), [=] { peer::heightmap(as_mat(photo), *peer_height.mat); },
             peer_height.view()});
    reg.add(labels::normalmap, megapixels(height),
            {ours_normal.release(), [=] { *ours_normal.image = ours::normalmap(height); },
             ours_normal.view()},
            {peer_normal.release(), [=] { peer::normalmap(as_mat(height), *peer_normal.mat); },
             peer_normal.view()});
}

void add_codecs(Registry& reg, Inputs& in) {
    const double mp = megapixels(in.photo.get());
    for (const auto& [label, path] :
         {std::pair{labels::load_jpeg, in.jpeg_path}, std::pair{labels::load_png, in.png_path}}) {
        const OurOutput ours_out;
        const PeerOutput peer_out;
        reg.add(label, mp,
                {ours_out.release(), [=] { *ours_out.image = ours::load(path); }, ours_out.view()},
                {peer_out.release(), [=] { peer::load(path, *peer_out.mat); }, peer_out.view()});
    }
    // The photo, and the two maps the whole command writes: their sum with one
    // JPEG decode is the command's codec floor.
    for (const auto& [label, img] : {std::pair{labels::save_photo, in.photo.get()},
                                     std::pair{labels::save_height, in.height.get()},
                                     std::pair{labels::save_normal, in.normal.get()}}) {
        const std::string ours_file = in.out_dir + "/saved_ours.png";
        const std::string peer_file = in.out_dir + "/saved_peer.png";
        const imgbuf* src = img;
        reg.add(label, megapixels(src), {[] {}, [=] { ours::save_png(ours_file, src); }, {}},
                {[] {}, [=] { peer::save_png(peer_file, as_mat(src)); }, {}});
    }
}

}  // namespace

std::vector<Comparison> register_comparisons(Inputs& in, int repetitions) {
    Registry reg(repetitions);
    add_smoothing(reg, in, labels::gaussian9, rk::KERNEL_GAUSSIAN, 9);
    add_smoothing(reg, in, labels::gaussian15, rk::KERNEL_GAUSSIAN, 15);
    add_smoothing(reg, in, labels::gaussian31, rk::KERNEL_GAUSSIAN, 31);
    add_smoothing(reg, in, labels::gaussian99, rk::KERNEL_GAUSSIAN, 99);
    add_smoothing(reg, in, labels::box31, rk::KERNEL_BOX, 31);
    add_smoothing(reg, in, labels::tent31, rk::KERNEL_TENT, 31);
    add_detail(reg, in, labels::detail_random, in.random.get());
    add_detail(reg, in, labels::detail_photo, in.photo.get());
    add_generators(reg, in);
    add_codecs(reg, in);
    return reg.take();
}

}  // namespace rkbench
