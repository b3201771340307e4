// Overlay for one plate: true colonies (green when a mark claimed them, cyan when missed)
// and counter marks (red crosses; circled when they hit no colony).
// Usage: overlay PLATE.jpg TRUTH.json MARKS.txt OUT.png   (MARKS.txt: "x y hit" per line)
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <nlohmann/json.hpp>

#include <fstream>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: overlay PLATE.jpg TRUTH.json MARKS.txt OUT.png\n";
        return 2;
    }
    cv::Mat img = cv::imread(argv[1]);
    auto truth = nlohmann::json::parse(std::ifstream(argv[2]));
    int w = std::max(2, std::max(img.cols, img.rows) / 700);
    const cv::Scalar green(0, 255, 0), cyan(255, 200, 0), red(0, 0, 255);
    for (const auto& c : truth["colonies"]) {
        cv::Scalar col = c.value("matched", false) ? green : cyan;
        if (c.contains("polygon")) {
            std::vector<cv::Point> pts;
            for (const auto& p : c["polygon"]) pts.emplace_back(int(p[0]), int(p[1]));
            cv::polylines(img, pts, true, col, w, cv::LINE_AA);
        } else {
            float r = c["r"].get<float>() + 1, rm = c.value("rMinor", c["r"].get<float>()) + 1;
            cv::ellipse(img, cv::RotatedRect({c["x"], c["y"]}, {2 * r, 2 * rm}, c.value("angleDeg", 0.f)), col, w,
                        cv::LINE_AA);
        }
    }
    std::ifstream marks(argv[3]);
    float x, y;
    int hit;
    while (marks >> x >> y >> hit) {
        int s = 3 * w;
        cv::line(img, {int(x) - s, int(y)}, {int(x) + s, int(y)}, red, w);
        cv::line(img, {int(x), int(y) - s}, {int(x), int(y) + s}, red, w);
        if (!hit) cv::circle(img, {int(x), int(y)}, 2 * s, red, w, cv::LINE_AA);
    }
    double f = std::min(1.0, 1600.0 / std::max(img.cols, img.rows));
    cv::resize(img, img, {}, f, f, cv::INTER_AREA);
    cv::imwrite(argv[4], img);
}
