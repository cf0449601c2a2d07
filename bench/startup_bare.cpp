// The yardstick for the client's start-up: a bare Qt Widgets program that shows the sign-in
// window's texts in the same fonts, sizes and weights, and nothing else.

#include <QApplication>
#include <QFont>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QFont::insertSubstitutions(QStringLiteral("Segoe UI Variable"),
                               {QStringLiteral("Segoe UI"), QStringLiteral("Noto Sans CJK SC"),
                                QStringLiteral("Noto Sans"), QStringLiteral("DejaVu Sans")});
    QApplication::setFont(QFont(QStringLiteral("Segoe UI Variable"), 10));

    QWidget window;
    window.setWindowTitle(QStringLiteral("KestruneAI · 登录"));
    auto* layout = new QVBoxLayout(&window);
    // The sign-in window's visible texts, in its sizes and weights.
    struct Text {
        const char* text;
        int pixels;
        int weight;
    };
    const Text texts[] = {{"✳   KestruneAI", 24, 700},
                          {"✳", 150, 400},
                          {"每一段思路，\n都有自己的方向。", 29, 650},
                          {"KESTRUNE / PERSONAL AI WORKSPACE", 11, 400},
                          {"欢迎来到 KestruneAI", 12, 650},
                          {"继续你的对话。", 31, 700},
                          {"登录后，云端对话会自动回到你的工作台。", 13, 400},
                          {"用户名或邮箱 输入用户名或邮箱 密码 至少 12 位密码", 13, 400},
                          {"登录  →", 13, 700},
                          {"没有账号？创建账号", 13, 400}};
    for (const Text& text : texts) {
        auto* label = new QLabel(QString::fromUtf8(text.text), &window);
        QFont font = label->font();
        font.setPixelSize(text.pixels);
        font.setWeight(QFont::Weight(text.weight));
        label->setFont(font);
        layout->addWidget(label);
    }
    window.resize(900, 560);
    window.show();
    return QApplication::exec();
}
