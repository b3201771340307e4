// Synthetic Petri-dish photographs with known colony positions.
// Usage: build/bin/render_plates OUTDIR [--seed S] [--per-recipe N] [--only RECIPE]   or   build/bin/render_plates --list
// Writes OUTDIR/<recipe>_<k>.jpg and OUTDIR/<recipe>_<k>.json (truth).
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

using cv::Mat;
using cv::Point2f;
using cv::Vec3f;
using json = nlohmann::json;
namespace fs = std::filesystem;

// ---------------------------------------------------------------- randomness
struct Rng {
    std::mt19937_64 g;
    explicit Rng(uint64_t seed) : g(seed) {}
    double u() { return (g() >> 11) * (1.0 / 9007199254740992.0); }
    double u(double a, double b) { return a + (b - a) * u(); }
    int i(int a, int b) { return a + int(u() * (b - a + 1)) % (b - a + 1); }  // inclusive
    double n() { return std::sqrt(-2.0 * std::log(1.0 - u())) * std::cos(2 * CV_PI * u()); }
    bool p(double prob) { return u() < prob; }
};

// ---------------------------------------------------------------- recipes
enum class Bench { Dark, White, Grey };

struct Recipe {
    std::string name, what;
    Bench bench;
    Vec3f agar;                        // BGR 0..255
    Vec3f colony;                      // BGR
    int nMin, nMax;
    double rMinFrac, rMaxFrac;         // colony radius / dish radius
    double fillMin = 0.90, fillMax = 0.98;      // dish diameter / short image side
    double aspectMin = 1.0, aspectMax = 1.0;    // tilt: minor/major axis
    double clumpFrac = 0.15, wallFrac = 0.03;
    int irregular = 0;                 // spreading colonies per plate (max)
    double opacity = 0.92, softness = 0.08, centreGain = 0.12, ringDark = 0.08, texture = 0.04;
    bool crescent = false, lidRing = true, condensation = false, marker = false, sticker = false,
         bubbles = false, wallHighlights = true;
    double light = 0.15, blurMax = 0.9, noise = 3.0;
};

static std::vector<Recipe> recipes() {
    std::vector<Recipe> r;
    auto add = [&](const Recipe& x) { r.push_back(x); };
    Recipe x;
    x = {"olive_dark", "cream colonies on olive agar, dark leather bench, condensation droplet clusters",
         Bench::Dark, {60, 118, 122}, {190, 222, 232}, 40, 220, 0.008, 0.04};
    x.condensation = true; add(x);
    x = {"tan_white", "cream colonies on tan agar, white bench, label sticker at the rim, marker writing",
         Bench::White, {120, 170, 205}, {200, 228, 240}, 20, 160, 0.008, 0.045};
    x.sticker = true; x.marker = true; add(x);
    x = {"paleyellow_dense", "pale translucent yellow agar on black, 300-700 small white colonies, many clumps",
         Bench::Dark, {150, 190, 200}, {225, 238, 242}, 300, 700, 0.005, 0.022};
    x.clumpFrac = 0.30; x.marker = true; add(x);
    x = {"blood_glare", "white colonies on red blood agar, dark bench, crescent lid reflections, wall highlights",
         Bench::Dark, {30, 25, 190}, {215, 215, 235}, 150, 500, 0.006, 0.026};
    x.crescent = true; x.centreGain = 0.15; add(x);
    x = {"blood_whitebench_sparse", "few small grey-cream colonies on dark-red agar, white bench, marker digits",
         Bench::White, {25, 20, 140}, {170, 190, 205}, 5, 60, 0.003, 0.015};
    x.marker = true; x.opacity = 0.85; add(x);
    x = {"chocolate_tiny", "many pinpoint whitish colonies on brown agar, dark leather bench, marker shadows",
         Bench::Dark, {45, 75, 125}, {185, 200, 215}, 100, 400, 0.0012, 0.006};
    x.marker = true; x.opacity = 0.8; x.softness = 0.2; add(x);
    x = {"chocolate_large", "large colonies (up to 1/12 dish) with darker rims on brown agar, clumps, spreaders",
         Bench::Grey, {40, 60, 110}, {175, 195, 210}, 8, 40, 0.02, 0.085};
    x.irregular = 3; x.clumpFrac = 0.3; x.ringDark = 0.25; x.texture = 0.08; add(x);
    x = {"tilted_olive", "tilted dish (aspect 0.75-0.95) not filling the frame, grey textured bench, olive agar",
         Bench::Grey, {70, 125, 125}, {195, 225, 235}, 30, 150, 0.006, 0.03};
    x.fillMin = 0.55; x.fillMax = 0.8; x.aspectMin = 0.75; x.aspectMax = 0.95; x.crescent = true; add(x);
    x = {"dark_on_paleyellow", "dark brown-purple colonies on pale yellow agar, white bench, marker writing",
         Bench::White, {160, 215, 230}, {70, 55, 85}, 20, 200, 0.005, 0.025};
    x.marker = true; x.centreGain = -0.15; add(x);
    x = {"dark_on_tan_tilted", "dark colonies on tan agar, tilted dish, grey bench, bubbles at the rim",
         Bench::Grey, {115, 165, 200}, {60, 70, 90}, 10, 100, 0.008, 0.04};
    x.aspectMin = 0.75; x.aspectMax = 0.92; x.fillMin = 0.7; x.fillMax = 0.9; x.bubbles = true;
    x.centreGain = -0.1; add(x);
    x = {"small_dish_vignette", "dish 45-65% of frame, strong vignette/gradient, blur, heavy noise, pale agar",
         Bench::Dark, {140, 175, 185}, {215, 232, 240}, 50, 300, 0.006, 0.028};
    x.fillMin = 0.45; x.fillMax = 0.65; x.light = 0.45; x.blurMax = 2.0; x.noise = 7; x.condensation = true;
    add(x);
    x = {"wall_clumps", "tan agar, many colonies touching the wall and in clumps, bubbles, strong wall highlights",
         Bench::Dark, {105, 150, 185}, {200, 225, 238}, 50, 250, 0.006, 0.03};
    x.wallFrac = 0.15; x.clumpFrac = 0.35; x.bubbles = true; x.sticker = true; x.crescent = true; add(x);
    return r;
}

// ---------------------------------------------------------------- geometry
// Plate frame: pixels, origin at dish centre, circular dish of radius R.
// Image frame: the plate frame squashed by `aspect` across the tilt axis and rotated by `ang`.
struct Dish {
    Point2f c;
    float R, aspect, ang;
    Point2f toImg(Point2f p) const {
        float x = p.x, y = p.y * aspect, cs = std::cos(ang), sn = std::sin(ang);
        return {c.x + cs * x - sn * y, c.y + sn * x + cs * y};
    }
    Point2f toPlate(Point2f q) const {
        float dx = q.x - c.x, dy = q.y - c.y, cs = std::cos(ang), sn = std::sin(ang);
        return {cs * dx + sn * dy, (-sn * dx + cs * dy) / aspect};
    }
};

constexpr float kAgar = 0.955f;  // agar radius / outer dish radius

struct Colony {
    Point2f p;  // plate frame
    float r;
    int clump = -1;
    bool wall = false;
    std::vector<float> amp, phase;  // irregular outline harmonics (k = 2..)
    Vec3f colour;
    float opacity, soft;
    float reach() const {
        float s = 1;
        for (float a : amp) s += std::abs(a);
        return r * s;
    }
    float radiusAt(float phi) const {
        float s = 1;
        for (size_t k = 0; k < amp.size(); ++k) s += amp[k] * std::cos((k + 2) * phi + phase[k]);
        return r * s;
    }
};

// Smooth noise in [-1,1]-ish, features of about `cell` pixels.
static Mat noiseField(cv::Size sz, float cell, cv::RNG& rng) {
    Mat small(std::max(2, int(sz.height / cell)) + 2, std::max(2, int(sz.width / cell)) + 2, CV_32F);
    rng.fill(small, cv::RNG::UNIFORM, -1.0, 1.0);
    Mat big;
    cv::resize(small, big, cv::Size(sz.width, sz.height), 0, 0, cv::INTER_CUBIC);
    return big;
}

static float smooth01(float x) { return x <= 0 ? 0 : x >= 1 ? 1 : x * x * (3 - 2 * x); }

// Blend colour `col` into img with per-pixel alpha (CV_32F), optionally a per-pixel colour image.
static void blend(Mat& img, const Mat& alpha, Vec3f col) {
    for (int y = 0; y < img.rows; ++y) {
        auto* px = img.ptr<Vec3f>(y);
        const float* a = alpha.ptr<float>(y);
        for (int x = 0; x < img.cols; ++x)
            if (a[x] > 0) px[x] = px[x] * (1 - a[x]) + col * a[x];
    }
}

// ---------------------------------------------------------------- layers
static Mat drawBench(cv::Size sz, Bench b, Rng& R, cv::RNG& cr) {
    Mat img(sz, CV_32FC3);
    Vec3f base;
    double tex;
    switch (b) {
        case Bench::Dark: base = Vec3f(1, 1, 1) * float(R.u(28, 50)); tex = 22; break;
        case Bench::White: base = Vec3f(1, 1, 1) * float(R.u(222, 242)); tex = 3; break;
        default: base = Vec3f(1, 1, 1) * float(R.u(95, 145)); tex = 28; break;
    }
    base += Vec3f(float(R.n() * 4), float(R.n() * 2), float(R.n() * 4));
    float cell = float(R.u(5, 12)) * sz.width / 2500.f;
    Mat leather = noiseField(sz, cell, cr) + 0.6 * noiseField(sz, cell * 2.7f, cr), gx;
    cv::Sobel(leather, gx, CV_32F, 1, 1, 3);  // embossed look
    Mat low = noiseField(sz, sz.width / 4.f, cr);
    for (int y = 0; y < sz.height; ++y)
        for (int x = 0; x < sz.width; ++x) {
            float v = float(tex * std::tanh(gx.at<float>(y, x) * cell * 0.5) + 10 * low.at<float>(y, x));
            if (b == Bench::White) v = float(tex * leather.at<float>(y, x) + 5 * low.at<float>(y, x));
            img.at<Vec3f>(y, x) = base + Vec3f(v, v, v);
        }
    return img;
}

// Agar, dish wall and the shadow of the dish, per pixel.
static void drawDish(Mat& img, const Dish& d, Vec3f agar, Bench bench, Rng& R, cv::RNG& cr) {
    Mat low = noiseField(img.size(), d.R / 3, cr), fine = noiseField(img.size(), d.R / 40, cr);
    float see = bench == Bench::White ? 0.05f : 0.12f;  // how much bench shows through
    float meniscus = float(R.u(0.75, 0.92)), edgeGlow = float(R.u(20, 60));
    float wallTint = float(R.u(0.15, 0.3));
    Point2f shadowDir(float(R.u(-0.02, 0.02)), float(R.u(0.0, 0.03)));
    for (int y = 0; y < img.rows; ++y) {
        auto* px = img.ptr<Vec3f>(y);
        for (int x = 0; x < img.cols; ++x) {
            Point2f p = d.toPlate({float(x), float(y)});
            float rho = std::hypot(p.x, p.y) / d.R;
            Vec3f bg = px[x];
            if (rho > 1.0f) {  // soft shadow beside the dish
                Point2f ps = p - shadowDir * d.R;
                float rs = std::hypot(ps.x, ps.y) / d.R;
                if (rs < 1.05f) px[x] = bg * (1 - 0.25f * smooth01((1.05f - rs) / 0.05f));
                continue;
            }
            float pxR = (kAgar - rho) * d.R;  // distance to the agar edge, pixels
            Vec3f a = agar * (1 + 0.05f * low.at<float>(y, x) + 0.015f * fine.at<float>(y, x)) * (1 - see) + bg * see;
            float edge = smooth01(1 - pxR / (0.04f * d.R));  // meniscus band
            a *= 1 - (1 - meniscus) * edge;
            a += Vec3f(1, 1, 1) * edgeGlow * std::exp(-pxR * pxR / 4.f) ;
            Vec3f wall = bg * (1 - wallTint) + Vec3f(200, 205, 210) * wallTint;
            float wpx = (rho - 0.985f) * d.R;
            wall += Vec3f(1, 1, 1) * 35.f * std::exp(-wpx * wpx / 3.f);
            float wo = (1 - rho) * d.R;
            wall += Vec3f(1, 1, 1) * 30.f * std::exp(-wo * wo / 2.f);
            float t = std::clamp(0.5f - pxR, 0.f, 1.f);  // anti-aliased agar edge
            Vec3f v = a * (1 - t) + wall * t;
            float o = std::clamp(wo, 0.f, 1.f);
            px[x] = v * o + bg * (1 - o);
        }
    }
}

static std::string randomText(Rng& R) {
    static const std::vector<std::string> words = {"12", "3.3", "A4", "YPD", "5-2", "B7", "x10", "21/3", "S.c", "7",
                                                   "KO2", "wt", "48h", "1e-4", "R"};
    std::string s = words[R.i(0, int(words.size()) - 1)];
    if (R.p(0.5)) s += " " + words[R.i(0, int(words.size()) - 1)];
    return s;
}

// Marker strokes and digits written on the bottom of the dish, seen blurred through the agar.
static void drawMarker(Mat& img, const Dish& d, Rng& R) {
    Mat m = Mat::zeros(img.size(), CV_32F);
    int nText = R.i(1, 3);
    for (int k = 0; k < nText; ++k) {
        double scale = d.R * R.u(0.005, 0.009);
        int th = std::max(2, int(d.R * R.u(0.015, 0.03)));
        Point2f p = d.toImg({float(R.u(-0.6, 0.2) * d.R), float(R.u(-0.6, 0.6) * d.R)});
        int font = R.p(0.5) ? cv::FONT_HERSHEY_SCRIPT_SIMPLEX : cv::FONT_HERSHEY_SIMPLEX;
        cv::putText(m, randomText(R), p, font, scale, 1.0, th, cv::LINE_AA);
    }
    int nStroke = R.i(0, 2);
    for (int k = 0; k < nStroke; ++k) {
        std::vector<cv::Point> pts;
        Point2f p(float(R.u(-0.6, 0.6) * d.R), float(R.u(-0.6, 0.6) * d.R));
        float dir = float(R.u(0, 2 * CV_PI));
        for (int j = 0; j < 12; ++j) {
            pts.push_back(d.toImg(p));
            dir += float(R.n() * 0.3);
            p += Point2f(std::cos(dir), std::sin(dir)) * float(d.R * 0.04);
        }
        cv::polylines(m, pts, false, 1.0, std::max(2, int(d.R * 0.02)), cv::LINE_AA);
    }
    double sigma = d.R * R.u(0.003, 0.012);
    cv::GaussianBlur(m, m, {0, 0}, sigma);
    float strength = float(R.u(0.3, 0.6));
    Vec3f ink = R.p(0.5) ? Vec3f(0.55f, 0.45f, 0.4f) : Vec3f(0.45f, 0.45f, 0.45f);  // bluish or black
    for (int y = 0; y < img.rows; ++y)
        for (int x = 0; x < img.cols; ++x) {
            float a = m.at<float>(y, x) * strength;
            if (a <= 0.001f) continue;
            Point2f p = d.toPlate({float(x), float(y)});
            if (std::hypot(p.x, p.y) > kAgar * d.R) continue;
            Vec3f& v = img.at<Vec3f>(y, x);
            for (int c = 0; c < 3; ++c) v[c] *= 1 - a * (1 - ink[c] * 0.6f);
        }
}

static void drawColony(Mat& img, const Dish& d, const Colony& c, const Mat& tex, float texAmp, float centreGain,
                       float ringDark) {
    Point2f q = d.toImg(c.p);
    float ext = c.reach() + 3 * c.soft + 3;
    int x0 = std::max(0, int(q.x - ext)), x1 = std::min(img.cols - 1, int(q.x + ext));
    int y0 = std::max(0, int(q.y - ext)), y1 = std::min(img.rows - 1, int(q.y + ext));
    bool shiny = c.r > 6 && centreGain > 0;
    for (int y = y0; y <= y1; ++y) {
        auto* px = img.ptr<Vec3f>(y);
        for (int x = x0; x <= x1; ++x) {
            Point2f p = d.toPlate({float(x), float(y)});
            Point2f v = p - c.p;
            float dist = std::hypot(v.x, v.y);
            float re = c.amp.empty() ? c.r : c.radiusAt(std::atan2(v.y, v.x));
            if (std::hypot(p.x, p.y) > kAgar * d.R) continue;  // colonies stay on the agar
            float a = c.opacity / (1 + std::exp((dist - re) / c.soft));
            float out = (dist - re) / (0.15f * re + 1.5f);  // faint shadow ring on the agar
            if (out > 0) px[x] *= 1 - 0.07f * std::exp(-out * out);
            if (a < 0.004f) continue;
            float t = std::min(dist / re, 1.f);
            float f = 1 + centreGain * (1 - t * t) - ringDark * std::exp(-(t - 0.85f) * (t - 0.85f) / 0.01f);
            f *= 1 + texAmp * tex.at<float>(y, x);
            Vec3f col = c.colour * f;
            if (shiny) {
                Point2f h = v + Point2f(0.3f, 0.35f) * c.r;
                float hd = std::hypot(h.x, h.y) / (0.15f * c.r);
                col += Vec3f(1, 1, 1) * 45.f * std::exp(-hd * hd);
            }
            px[x] = px[x] * (1 - a) + col * a;
        }
    }
}

// ---------------------------------------------------------------- one plate
struct Exclusion {
    std::vector<Point2f> poly;  // image frame
    float margin;
};

static json renderPlate(const Recipe& rc, uint64_t seed, const fs::path& jpgPath) {
    Rng R(seed);
    cv::RNG cr(seed ^ 0x9E3779B97F4A7C15ull);
    int longSide = R.i(1500, 4000);
    bool square = rc.fillMin > 0.85;
    double ratio = square ? R.u(1.0, 1.04) : R.u(1.25, 1.4);
    cv::Size sz = R.p(0.5) ? cv::Size(longSide, int(longSide / ratio)) : cv::Size(int(longSide / ratio), longSide);
    int shortSide = std::min(sz.width, sz.height);

    Dish d;
    d.aspect = float(R.u(rc.aspectMin, rc.aspectMax));
    d.R = float(R.u(rc.fillMin, rc.fillMax) * shortSide / 2);
    d.ang = float(R.u(0, CV_PI));
    float spareX = sz.width / 2.f - d.R - 4, spareY = sz.height / 2.f - d.R - 4;
    d.c = {sz.width / 2.f + float(R.u(-1, 1)) * std::max(0.f, spareX) * 0.6f,
           sz.height / 2.f + float(R.u(-1, 1)) * std::max(0.f, spareY) * 0.6f};

    Mat img = drawBench(sz, rc.bench, R, cr);
    Vec3f agar = rc.agar * float(R.u(0.9, 1.1));
    drawDish(img, d, agar, rc.bench, R, cr);
    json distractors = json::array();
    if (rc.marker) { drawMarker(img, d, R); distractors.push_back({{"type", "marker"}}); }

    // Things colonies must not sit under: sticker and bubbles.
    std::vector<Exclusion> excl;
    std::vector<cv::RotatedRect> stickers;
    if (rc.sticker) {
        float phi = float(R.u(0, 2 * CV_PI));
        Point2f at = d.toImg(Point2f(std::cos(phi), std::sin(phi)) * float(R.u(0.93, 1.0) * d.R));
        float tangent = float(std::atan2(at.y - d.c.y, at.x - d.c.x) * 180 / CV_PI + 90 + R.n() * 8);
        cv::RotatedRect rr(at, cv::Size2f(float(R.u(0.3, 0.5) * d.R), float(R.u(0.12, 0.2) * d.R)), tangent);
        stickers.push_back(rr);
        Point2f v[4];
        rr.points(v);
        excl.push_back({{v, v + 4}, 4});
    }
    struct Bubble { Point2f q; float r; };
    std::vector<Bubble> bubbles;
    if (rc.bubbles) {
        int n = R.i(3, 9);
        float phi0 = float(R.u(0, 2 * CV_PI));
        for (int k = 0; k < n; ++k) {
            float rb = float(R.u(0.006, 0.02) * d.R), phi = phi0 + float(R.n() * 0.4);
            Point2f q = d.toImg(Point2f(std::cos(phi), std::sin(phi)) * (kAgar * d.R - rb - 1.5f));
            bubbles.push_back({q, rb});
            std::vector<Point2f> poly;
            for (int j = 0; j < 12; ++j)
                poly.push_back(q + Point2f(std::cos(j * CV_PI / 6), std::sin(j * CV_PI / 6)) * rb);
            excl.push_back({poly, 3});
        }
    }

    // ---- colonies
    int target = R.i(rc.nMin, rc.nMax);
    float rmin = std::max(2.0f, float(rc.rMinFrac * d.R));
    float rmax = std::max(float(rc.rMaxFrac * d.R), 4.5f * rmin);
    float opacity = float(rc.opacity * R.u(0.93, 1.05)), soft = float(rc.softness * R.u(0.7, 1.3));
    std::vector<Colony> cols;
    auto fits = [&](const Colony& c) {
        float reach = c.reach();
        if (std::hypot(c.p.x, c.p.y) + reach > kAgar * d.R - 0.5f) return false;
        for (const auto& o : cols) {
            float dd = cv::norm(c.p - o.p), lim = reach + o.reach() + 1.5f;
            if (c.clump >= 0 && c.clump == o.clump) lim = 0.8f * (c.r + o.r);
            if (dd < lim) return false;
        }
        Point2f q = d.toImg(c.p);
        for (const auto& e : excl)
            if (cv::pointPolygonTest(e.poly, q, true) > -(reach + e.margin)) return false;
        return true;
    };
    auto makeColony = [&](float r) {
        Colony c;
        c.r = r;
        float j = float(R.u(0.92, 1.06));
        c.colour = rc.colony * j + Vec3f(float(R.n() * 3), float(R.n() * 3), float(R.n() * 3));
        c.opacity = std::min(1.f, opacity * float(R.u(0.95, 1.05)));
        c.soft = std::max(0.6f, soft * r);
        return c;
    };
    auto drawRadius = [&](int idx) {
        if (idx == 0) return rmin;
        if (idx == 1) return rmax;
        double t = std::pow(R.u(), 1.15);  // a few more small than large
        return float(rmin * std::pow(rmax / rmin, t));
    };
    int nIrr = rc.irregular ? R.i(1, rc.irregular) : 0;
    for (int k = 0; k < nIrr; ++k) {
        Colony c = makeColony(float(rmax * R.u(0.9, 1.4)));
        for (int h = 0; h < 5; ++h) {
            c.amp.push_back(float(R.u(0.02, 0.12) / (1 + h * 0.5)));
            c.phase.push_back(float(R.u(0, 2 * CV_PI)));
        }
        c.opacity *= 0.8f;
        c.soft = std::max(1.5f, 0.1f * c.r);
        for (int tries = 0; tries < 200; ++tries) {
            float rr = kAgar * d.R * float(std::sqrt(R.u())), ph = float(R.u(0, 2 * CV_PI));
            c.p = Point2f(std::cos(ph), std::sin(ph)) * rr;
            if (fits(c)) { cols.push_back(c); break; }
        }
    }
    int clumpId = 0, failures = 0;
    while (int(cols.size()) < target + nIrr && failures < 3000) {
        int k = R.p(rc.clumpFrac / 3) ? R.i(2, 6) : 1;
        k = std::min(k, target + nIrr - int(cols.size()));
        bool wall = R.p(rc.wallFrac);
        Colony first = makeColony(drawRadius(int(cols.size()) - nIrr));
        float ph = float(R.u(0, 2 * CV_PI));
        float rr = wall ? kAgar * d.R - first.r - 0.7f : float(kAgar * d.R * std::sqrt(R.u()));
        first.p = Point2f(std::cos(ph), std::sin(ph)) * rr;
        first.wall = wall;
        if (k > 1) first.clump = clumpId;
        if (!fits(first)) { ++failures; continue; }
        cols.push_back(first);
        size_t start = cols.size() - 1;
        for (int m = 1; m < k; ++m) {
            for (int tries = 0; tries < 30; ++tries) {
                const Colony& parent = cols[start + R.i(0, int(cols.size() - start) - 1)];
                Colony c = makeColony(drawRadius(int(cols.size()) - nIrr));
                float a = float(R.u(0, 2 * CV_PI)), dist = (c.r + parent.r) * float(R.u(0.85, 0.98));
                c.p = parent.p + Point2f(std::cos(a), std::sin(a)) * dist;
                c.clump = clumpId;
                if (fits(c)) { cols.push_back(c); break; }
            }
        }
        if (k > 1) ++clumpId;
    }

    Mat tex = noiseField(sz, std::max(1.5f, rmin * 0.7f), cr);
    float texAmp = float(rc.texture * R.u(0.7, 1.3));
    for (const auto& c : cols) drawColony(img, d, c, tex, texAmp * (c.amp.empty() ? 1 : 2.5f), float(rc.centreGain), float(rc.ringDark));

    // ---- distractors above the agar
    if (rc.bubbles)
        for (const auto& b : bubbles) {
            Mat a = Mat::zeros(sz, CV_32F);
            cv::circle(a, b.q, int(b.r), 0.55, std::max(1, int(b.r / 6)), cv::LINE_AA);
            cv::GaussianBlur(a, a, {0, 0}, 0.8);
            blend(img, a, Vec3f(30, 30, 30));
            a.setTo(0);
            cv::circle(a, b.q + Point2f(-0.35f, -0.35f) * b.r, std::max(1, int(b.r * 0.2)), 0.8, -1, cv::LINE_AA);
            cv::GaussianBlur(a, a, {0, 0}, 0.8);
            blend(img, a, Vec3f(250, 250, 250));
            distractors.push_back({{"type", "bubble"}, {"x", b.q.x}, {"y", b.q.y}, {"r", b.r}});
        }
    if (rc.crescent) {
        int n = R.i(1, 2);
        for (int k = 0; k < n; ++k) {
            Mat a = Mat::zeros(sz, CV_32F);
            float ph = float(R.u(0, 2 * CV_PI));
            Point2f cc = Point2f(std::cos(ph), std::sin(ph)) * float(R.u(0.3, 0.6) * d.R);
            float r1 = float(R.u(0.15, 0.35) * d.R);
            Point2f off = Point2f(std::cos(ph), std::sin(ph)) * (r1 * float(R.u(0.25, 0.45)));
            float peak = float(R.u(0.15, 0.35));
            std::vector<cv::Point> e1, e2;
            for (int j = 0; j < 72; ++j) {
                Point2f u(std::cos(j * CV_PI / 36), std::sin(j * CV_PI / 36));
                e1.push_back(d.toImg(cc + u * r1));
                e2.push_back(d.toImg(cc - off + u * r1 * 0.97f));
            }
            cv::fillPoly(a, std::vector<std::vector<cv::Point>>{e1}, peak, cv::LINE_AA);
            cv::fillPoly(a, std::vector<std::vector<cv::Point>>{e2}, 0.0, cv::LINE_AA);
            cv::GaussianBlur(a, a, {0, 0}, d.R * R.u(0.005, 0.02));
            blend(img, a, Vec3f(235, 240, 245));
            Point2f q = d.toImg(cc);
            distractors.push_back({{"type", "crescent"}, {"x", q.x}, {"y", q.y}});
        }
    }
    if (rc.lidRing) {
        Mat a = Mat::zeros(sz, CV_32F);
        Point2f q = d.toImg({float(R.n() * 0.015 * d.R), float(R.n() * 0.015 * d.R)});
        float rl = float(R.u(0.97, 1.0) * d.R);
        cv::ellipse(a, cv::RotatedRect(q, cv::Size2f(2 * rl, 2 * rl * d.aspect), d.ang * 180 / float(CV_PI)),
                    float(R.u(0.12, 0.3)), std::max(1, int(d.R * 0.002)), cv::LINE_AA);
        cv::GaussianBlur(a, a, {0, 0}, 1.0);
        blend(img, a, Vec3f(235, 235, 235));
        distractors.push_back({{"type", "lid_ring"}});
    }
    if (rc.wallHighlights) {
        Mat a = Mat::zeros(sz, CV_32F);
        int n = R.i(1, 4);
        for (int k = 0; k < n; ++k) {
            double a0 = R.u(0, 360), span = R.u(15, 70);
            float rw = float(R.u(0.965, 0.995) * d.R);
            cv::ellipse(a, d.c, cv::Size2f(rw, rw * d.aspect), d.ang * 180 / CV_PI, a0, a0 + span,
                        float(R.u(0.4, 0.8)), std::max(2, int(d.R * R.u(0.003, 0.01))), cv::LINE_AA);
        }
        cv::GaussianBlur(a, a, {0, 0}, d.R * 0.003);
        blend(img, a, Vec3f(245, 248, 250));
        distractors.push_back({{"type", "wall_highlight"}});
    }
    if (rc.condensation) {
        Mat a = Mat::zeros(sz, CV_32F), h = Mat::zeros(sz, CV_32F);
        int clusters = R.i(2, 4);
        for (int k = 0; k < clusters; ++k) {
            float ph = float(R.u(0, 2 * CV_PI));
            Point2f cc = Point2f(std::cos(ph), std::sin(ph)) * float(R.u(0.5, 0.85) * d.R);
            int n = R.i(15, 60);
            for (int j = 0; j < n; ++j) {
                Point2f p = cc + Point2f(float(R.n()), float(R.n())) * float(0.07 * d.R);
                if (std::hypot(p.x, p.y) > 0.9 * d.R) continue;
                Point2f q = d.toImg(p);
                float r = float(R.u(2, 7) * d.R / 1000 + 1);
                cv::circle(a, q, int(std::round(r)), float(R.u(0.06, 0.18)), -1, cv::LINE_AA);
                cv::circle(h, q + Point2f(-0.3f, -0.3f) * r, 1, float(R.u(0.1, 0.3)), -1, cv::LINE_AA);
            }
            Point2f q = d.toImg(cc);
            distractors.push_back({{"type", "condensation"}, {"x", q.x}, {"y", q.y}});
        }
        cv::GaussianBlur(a, a, {0, 0}, 1.2);
        cv::GaussianBlur(h, h, {0, 0}, 0.7);
        blend(img, a, Vec3f(225, 228, 232));
        blend(img, h, Vec3f(250, 250, 250));
    }
    for (const auto& rr : stickers) {
        Mat a = Mat::zeros(sz, CV_32F);
        Point2f v[4];
        cv::RotatedRect sh(rr.center + Point2f(4, 6), rr.size, rr.angle);
        sh.points(v);
        std::vector<cv::Point> pts(v, v + 4);
        cv::fillConvexPoly(a, pts, 0.35, cv::LINE_AA);
        cv::GaussianBlur(a, a, {0, 0}, 5);
        blend(img, a, Vec3f(10, 10, 10));
        rr.points(v);
        pts.assign(v, v + 4);
        a.setTo(0);
        cv::fillConvexPoly(a, pts, 1.0, cv::LINE_AA);
        blend(img, a, Vec3f(238, 242, 246) * float(R.u(0.95, 1.02)));
        // text lines on the sticker, drawn upright then rotated into place
        int w = int(rr.size.width), hgt = int(rr.size.height);
        Mat t = Mat::zeros(hgt, w, CV_32F);
        for (int line = 0; line < 2; ++line)
            cv::putText(t, randomText(R) + " " + randomText(R), cv::Point(int(w * 0.06), int(hgt * (0.42 + 0.4 * line))),
                        cv::FONT_HERSHEY_SIMPLEX, hgt / 90.0, 1.0, std::max(1, hgt / 40), cv::LINE_AA);
        Mat M = cv::getRotationMatrix2D(Point2f(w / 2.f, hgt / 2.f), -rr.angle, 1.0);
        M.at<double>(0, 2) += rr.center.x - w / 2.0;
        M.at<double>(1, 2) += rr.center.y - hgt / 2.0;
        Mat tw;
        cv::warpAffine(t, tw, M, sz);
        blend(img, tw * 0.85, Vec3f(90, 50, 40));
        distractors.push_back({{"type", "sticker"}, {"x", rr.center.x}, {"y", rr.center.y}});
    }

    // ---- camera: uneven light, blur, noise, JPEG
    {
        float g = float(R.u(0, rc.light)), vig = float(R.u(0.05, rc.light + 0.1));
        float gd = float(R.u(0, 2 * CV_PI));
        float half = 0.5f * std::hypot(float(sz.width), float(sz.height));
        for (int y = 0; y < sz.height; ++y) {
            auto* px = img.ptr<Vec3f>(y);
            for (int x = 0; x < sz.width; ++x) {
                float dx = (x - sz.width / 2.f) / half, dy = (y - sz.height / 2.f) / half;
                px[x] *= 1 + g * (dx * std::cos(gd) + dy * std::sin(gd)) - vig * (dx * dx + dy * dy);
            }
        }
    }
    double blur = R.u(0.3, rc.blurMax);
    cv::GaussianBlur(img, img, {0, 0}, blur);
    Mat noise(sz, CV_32F), chroma(sz, CV_32FC3);
    float sigma = float(rc.noise * R.u(0.6, 1.3));
    cr.fill(noise, cv::RNG::NORMAL, 0, sigma);
    cr.fill(chroma, cv::RNG::NORMAL, 0, sigma * 0.4);
    Mat noise3;
    cv::merge(std::vector<Mat>{noise, noise, noise}, noise3);
    cv::GaussianBlur(noise3 + chroma, noise3, {0, 0}, 0.6);  // sensor noise is slightly correlated
    img += noise3;
    Mat out;
    img.convertTo(out, CV_8UC3);
    int quality = R.i(85, 95);
    cv::imwrite(jpgPath.string(), out, {cv::IMWRITE_JPEG_QUALITY, quality});

    // ---- truth
    json jc = json::array();
    for (const auto& c : cols) {
        Point2f q = d.toImg(c.p);
        json o = {{"x", q.x}, {"y", q.y}, {"r", c.r}};
        if (d.aspect < 0.999f) {
            o["rMinor"] = c.r * d.aspect;
            o["angleDeg"] = d.ang * 180 / CV_PI;
        }
        if (c.clump >= 0) o["clump"] = c.clump;
        if (c.wall) o["touchesWall"] = true;
        if (!c.amp.empty()) {
            json poly = json::array();
            for (int j = 0; j < 64; ++j) {
                float ph = float(j * CV_PI / 32);
                Point2f p = d.toImg(c.p + Point2f(std::cos(ph), std::sin(ph)) * c.radiusAt(ph));
                poly.push_back({p.x, p.y});
            }
            o["polygon"] = poly;
        }
        jc.push_back(o);
    }
    return {{"image", jpgPath.filename().string()},
            {"recipe", rc.name},
            {"seed", seed},
            {"width", sz.width},
            {"height", sz.height},
            {"jpegQuality", quality},
            {"blurSigma", blur},
            {"dish", {{"cx", d.c.x}, {"cy", d.c.y}, {"rx", kAgar * d.R}, {"ry", kAgar * d.R * d.aspect},
                      {"angleDeg", d.ang * 180 / CV_PI}, {"outerRx", d.R}, {"outerRy", d.R * d.aspect}}},
            {"count", cols.size()},
            {"colonies", jc},
            {"distractors", distractors}};
}

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--list") {
        for (const auto& r : recipes()) std::cout << r.name << ": " << r.what << "\n";
        return 0;
    }
    const char* usage = "usage: render_plates OUTDIR [--seed S] [--per-recipe N] [--only RECIPE]  |  render_plates --list\n";
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::cout << usage;
        return 0;
    }
    if (argc < 2 || argv[1][0] == '-') {
        std::cerr << usage;
        return 2;
    }
    fs::path out = argv[1];
    uint64_t seed = 1;
    int per = 4;
    std::string only;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--seed" && i + 1 < argc) seed = std::stoull(argv[++i]);
        else if (a == "--per-recipe" && i + 1 < argc) per = std::stoi(argv[++i]);
        else if (a == "--only" && i + 1 < argc) only = argv[++i];
        else {
            std::cerr << "render_plates: unknown option " << a << "\n" << usage;
            return 2;
        }
    }
    cv::setNumThreads(2);
    fs::create_directories(out);
    int ri = 0;
    for (const auto& rc : recipes()) {
        ++ri;
        if (!only.empty() && rc.name != only) continue;
        for (int k = 1; k <= per; ++k) {
            uint64_t s = seed * 1000003ull + ri * 1009ull + k;
            std::string stem = rc.name + "_" + std::to_string(k);
            json t = renderPlate(rc, s, out / (stem + ".jpg"));
            std::ofstream(out / (stem + ".json")) << t.dump(1) << "\n";
            std::cout << stem << " " << t["width"] << "x" << t["height"] << " colonies " << t["count"] << std::endl;
        }
    }
}
