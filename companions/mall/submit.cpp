// The mall library's side of an accepted order: the notice for the store, written whole into
// outbox/ or not at all, and the stock of the products the order takes.
#include "companions/mall/submit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "catalogue/records.h"
#include "orders/customer_record.h"
#include "orders/records.h"
#include "orders/order_text.h"
#include "shell/host.h"

namespace {

constexpr char kAuditSummary[] = "KVZSVALL";
constexpr char kOutbox[] = "outbox";

MallVars g_vars{};

// The order as read back, and the records the notice and the stock need. The library is called
// one call at a time, like the module.
StoredOrderBuffer g_order;
int g_order_items = 0;  // items the record really holds

// A text field of a record, up to its terminator or its width.
std::string Field(const char *field, size_t width) { return std::string(field, strnlen(field, width)); }
#define FIELD(record, member) Field((record)->member, sizeof((record)->member))

std::string Money(double amount) {
    char text[64];
    std::snprintf(text, sizeof text, "%1.2f", amount);
    return text;
}

bool ReadOrder(const char *store_id, int32_t order_number) {
    OrderKey1 key{};
    key.order_number = order_number;
    _stlcpy(key.store_id, store_id, sizeof key.store_id);
    std::memset(&g_order, 0, sizeof g_order);
    _dfaSetBlk(g_vars.order_file);
    bool found = _dfaAcqLock(&g_order, &key, kOrderKeyNumber, HOST_GET_EQUAL, 0);
    int length = found ? _dfaRecLen() : 0;
    _dfaRstBlk();
    if (!found) return false;
    int16_t count = g_order.order.item_count;
    int held = length > kStoredOrderSize ? (length - kStoredOrderSize) / kStoredOrderItemSize : 0;
    g_order_items = count < 0 ? 0 : (count < held ? count : held);
    return true;
}

// A record of the store file by key 0 (record type and store id); false when there is none.
bool ReadStoreFile(uint8_t type, const char *store_id, void *record) {
    StoreKey0 key{};
    key.record_type = type;
    _stlcpy(key.store_id, store_id, sizeof key.store_id);
    char buffer[kStoreFileRecordSize] = {};
    _dfaSetBlk(g_vars.store_file);
    bool found = _dfaAcqLock(buffer, &key, kStoreFileKeyType, HOST_GET_EQUAL, 0);
    _dfaRstBlk();
    if (found) std::memcpy(record, buffer, type == kRecordStore ? kStoreRecordSize : kExtendedStoreRecordSize);
    return found;
}

void AddressLines(std::string *out, const char *title, const std::string &name, const std::string &company,
                  const std::string &addr1, const std::string &addr2, const std::string &city,
                  const std::string &state, const std::string &zip, const std::string &country,
                  const std::string &phone, const std::string &fax) {
    *out += title;
    *out += ":\n";
    for (const std::string *line : {&name, &company, &addr1, &addr2})
        if (!line->empty()) *out += "  " + *line + "\n";
    std::string place = city;
    if (!state.empty()) place += (place.empty() ? "" : ", ") + state;
    if (!zip.empty()) place += (place.empty() ? "" : " ") + zip;
    if (!place.empty()) *out += "  " + place + "\n";
    if (!country.empty()) *out += "  " + country + "\n";
    if (!phone.empty()) *out += "  Telephone: " + phone + "\n";
    if (!fax.empty()) *out += "  Fax: " + fax + "\n";
}

// The notice of the order just read. It carries what the store needs to fill the order and
// nothing of the card but the holder's name: the card number and expiry stay in the order file.
std::string NoticeText() {
    const StoredOrder *order = &g_order.order;
    const std::string store_id = FIELD(order, store_id);
    const int32_t number = order->order_number;

    StoreRecord store{};
    ExtendedStoreRecord ext{};
    bool have_store = ReadStoreFile(kRecordStore, store_id.c_str(), &store);
    bool have_ext = ReadStoreFile(kRecordExtended, store_id.c_str(), &ext);

    std::string out = "Order " + std::to_string(number) + " of store " + store_id;
    if (have_store && store.name[0] != '\0') out += " (" + FIELD(&store, name) + ")";
    out += "\n";
    out += "Submitted: " + OrderDateText(order->date) + " " + OrderTimeText(order->time) + "\n";
    out += "Status: " + FIELD(order, status) + "\n";
    if (order->origin == kOriginVerified) {
        out += "Buyer: " + FIELD(&order->customer, user_id) + " (user id)\n";
    } else if (g_order_items < kStoredOrderMaxItems) {
        const char *password = reinterpret_cast<const char *>(&g_order) + kStoredOrderSize +
                               g_order_items * kStoredOrderItemSize;
        out += "Buyer: " + Field(password, kOrderPasswordSize) + " (e-mail)\n";
    }

    out += "\nItems:\n";
    for (int i = 0; i < g_order_items; ++i) {
        const StoredOrderItem *item = &g_order.items[i];
        const int quantity = item->quantity;
        const float price = item->unit_price, handling = item->handling, weight = item->line_weight,
                    discount = item->discount;
        out += "  " + std::to_string(quantity) + " x " + FIELD(item, product_id) + " (department " +
               FIELD(item, dept_id) + ") " + FIELD(item, name);
        std::string formats = FIELD(item, format1);
        std::string second = FIELD(item, format2);
        if (!second.empty()) formats += (formats.empty() ? "" : ", ") + second;
        if (!formats.empty()) out += " [" + formats + "]";
        out += "\n    at " + Money(price) + " = " + Money(static_cast<double>(quantity) * price);
        if (discount != 0) out += ", discount " + Money(static_cast<double>(discount) * 100) + " %";
        if (handling != 0) out += ", handling " + Money(handling);
        char text[64];
        std::snprintf(text, sizeof text, ", weight %1.4f", static_cast<double>(weight));
        out += text;
        out += "\n";
    }

    const float subtotal = order->subtotal, shipping = order->shipping, handling = order->handling,
                tax = order->tax;
    out += "\nSubtotal: " + Money(subtotal) + "\n";
    out += "Shipping: " + Money(shipping) + " (" + FIELD(order, ship_method) + ")\n";
    out += "Handling: " + Money(handling) + "\n";
    out += "Tax: " + Money(tax) + "\n";
    out += "Total: " + Money(static_cast<double>(subtotal) + shipping + handling + tax) + "\n";

    const uint16_t code = order->payment_type;
    std::string payment = code == 255 ? "nothing to pay"
                          : code < kMallOptionTexts && g_vars.option_text[code] != nullptr
                              ? g_vars.option_text[code]
                              : "option " + std::to_string(code);
    out += "\nPayment: " + payment + "\n";
    const std::string holder = FIELD(&order->payment, holder);
    if (!holder.empty()) out += (code == 6 ? "Purchase order: " : "Name: ") + holder + "\n";

    const CustomerRecord *c = &order->customer;
    out += "\n";
    AddressLines(&out, "Bill to", FIELD(c, bname), FIELD(c, bcompany), FIELD(c, baddr1), FIELD(c, baddr2),
                 FIELD(c, bcity), FIELD(c, bstate), FIELD(c, bzip), FIELD(c, bcountry), FIELD(c, bphone),
                 FIELD(c, bfax));
    AddressLines(&out, "Ship to", FIELD(c, sname), FIELD(c, scompany), FIELD(c, saddr1), FIELD(c, saddr2),
                 FIELD(c, scity), FIELD(c, sstate), FIELD(c, szip), FIELD(c, scountry), FIELD(c, sphone),
                 "");

    std::string answers;
    for (int i = 0; i < kAnswers; ++i) {
        std::string answer = Field(order->answers[i], kAnswerSize);
        std::string question = have_ext ? Field(ext.questions[i], kQuestionSize) : "";
        if (answer.empty() && question.empty()) continue;
        answers += "  " + (question.empty() ? "Question " + std::to_string(i + 1) : question) + ": " +
                   answer + "\n";
    }
    if (!answers.empty()) out += "\nAnswers:\n" + answers;
    return out;
}

// A store id as part of a file name: letters, digits, '-' and '_' as they are, anything else
// as '_', so no record can name a file outside outbox/.
std::string FileNamePart(const std::string &id) {
    std::string part;
    for (char c : id) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '_';
        part += plain ? c : '_';
    }
    return part;
}

bool WriteAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Writes the notice under a temporary name and renames it into place, so a reader of outbox/
// sees the whole notice or none; synced before and after the rename, so an accepted order's
// notice survives a crash.
bool WriteNotice(const std::string &name, const std::string &text) {
    if (mkdir(kOutbox, 0755) != 0 && errno != EEXIST) return false;
    std::string final_path = std::string(kOutbox) + "/" + name;
    std::string temp_path = std::string(kOutbox) + "/." + name + ".XXXXXX";
    int fd = mkstemp(temp_path.data());
    if (fd < 0) return false;
    bool written = WriteAll(fd, text) && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    if (!written || rename(temp_path.c_str(), final_path.c_str()) != 0) {
        unlink(temp_path.c_str());
        return false;
    }
    int dir = open(kOutbox, O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

// Each stock-counted product of the order loses the units ordered, down to 0 at most. Another
// host may be selling the same product at the same moment: the stock goes back only if the
// product still reads as it did, else it is read again and lowered from what it holds now.
// Nothing here allocates, so once the notice is out nothing can undo the acceptance.
constexpr int kStockAttempts = 16;

void LowerStock() {
    const StoredOrder *order = &g_order.order;
    for (int i = 0; i < g_order_items; ++i) {
        const StoredOrderItem *item = &g_order.items[i];
        ProductKey1 key{};
        _stlcpy(key.store_id, order->store_id, sizeof key.store_id);
        _stlcpy(key.dept_id, item->dept_id, sizeof key.dept_id);
        _stlcpy(key.product_id, item->product_id, sizeof key.product_id);
        bool lowered = false;
        _dfaSetBlk(g_vars.product_file);
        for (int attempt = 0; attempt < kStockAttempts && !lowered; ++attempt) {
            ProductRecord product{};
            if (!_dfaAcqLock(&product, &key, kProductKeyDept, HOST_GET_EQUAL, 0)) {
                lowered = true; // no longer in the catalogue: no stock to keep
                break;
            }
            const int length = _dfaRecLen();
            const uint16_t flags = product.flags;
            if (!(flags & kProductCountStock)) {
                lowered = true;
                break;
            }
            ProductRecord before = product;
            const int32_t stock = product.stock, quantity = item->quantity;
            product.stock = stock > quantity ? stock - quantity : 0;
            lowered = _dfaUpdateIf(&before, length, &product);
        }
        _dfaRstBlk();
        if (!lowered)
            _shocst(kAuditSummary, "Order %s %d: stock of %s %s not lowered", key.store_id,
                    static_cast<int>(order->order_number), key.dept_id, key.product_id);
    }
}

}  // namespace

void RememberMallVars(const MallVars &vars) { g_vars = vars; }

bool AcceptOrder(const char *store_id, int32_t order_number) {
    if (!ReadOrder(store_id, order_number)) {
        _shocst(kAuditSummary, "Order %s %d refused: not in the order file", store_id,
                static_cast<int>(order_number));
        return false;
    }
    // The notice is built in memory; without memory for it the order is refused, unchanged.
    bool written = false;
    std::string name;
    try {
        name = FileNamePart(store_id) + "-" + std::to_string(order_number) + ".txt";
        written = WriteNotice(name, NoticeText());
    } catch (...) {
        errno = ENOMEM;
    }
    if (!written) {
        _shocst(kAuditSummary, "Order %s %d refused: notice %s/%s not written: %s", store_id,
                static_cast<int>(order_number), kOutbox, name.c_str(), std::strerror(errno));
        return false;
    }
    LowerStock();
    return true;
}
