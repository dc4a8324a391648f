// The product information page ("prodinfo"): one product with its prices, pictures, format
// choices, discounts and the quantity already in the shopper's order, ready to be ordered.
#include <cstdio>
#include <cstring>

#include "catalogue/rules.h"
#include "orders/items.h"
#include "orders/slots.h"
#include "shell/buffers.h"
#include "shell/companion_entries.h"
#include "shell/numbers.h"
#include "template/cparse.h"
#include "template/stable.h"
#include "web/escape.h"
#include "web/params.h"
#include "web/request.h"
#include "web/spool.h"

namespace {

// The previous and next links pass over unavailable products, but never look at more than
// five neighbours: a department whose products are mostly sold out would otherwise have every
// product page walk a long stretch of the product file. Past the fifth the link is hidden.
constexpr int kNeighbourWalk = 5;

// The product buffer holds the product in its first half and a neighbour in its second.
static_assert(kProductBufferSize >= 2 * kProductRecordSize);
ProductRecord *NeighbourRec() {
    return reinterpret_cast<ProductRecord *>(ProductBuffer + kProductRecordSize);
}

// The template of each information-page kind. A kind outside 0 to 3 is a catalogue mistake;
// such a product is still shown, with the plain template.
const char *TemplateOf(int32_t kind) {
    switch (kind) {
    case 1: return "SWPRDIN1.HTM";
    case 2: return "SWPRDIN2.HTM";
    case 3: return "SWPRDIN3.HTM";
    default: return "SWPRDIN.HTM";
    }
}

// Looks for the nearest available product of the same department on one side of key: first
// the key-only query first_op, then step_op per further neighbour. Sets the section switch
// open/close and, when a neighbour is found, code to its identifier. The product file is the
// selected one.
void NeighbourLink(STable *table, const ProductKey1 *key, int first_op, int step_op,
                   const char *open, const char *close, const char *code) {
    const ProductRecord *product = ProductRec();
    ProductRecord *neighbour = NeighbourRec();
    bool at = _dfaQuery(key, kProductKeyDept, first_op);
    for (int examined = 0; at && examined < kNeighbourWalk; ++examined) {
        if (!_dfaGetAbsLock(neighbour, _dfaAbs(), kProductKeyDept, 0)) break;
        TerminateTexts(neighbour);
        if (!_sameas(neighbour->store_id, product->store_id) ||
            !_sameas(neighbour->dept_id, product->dept_id))
            break;
        if (ProductAvailable(neighbour)) {
            SetSection(table, open, close, true);
            table->Set(code, PlusId(neighbour->product_id));
            return;
        }
        at = _dfaQueryNP(step_op);
    }
    SetSection(table, open, close, false);
}

// Emits one row of a format's choice block for every choice that exists and is offered.
// first_bit is the offered bit of choice 0 (0 for format 1, 8 for format 2); chosen is the
// shopper's choice from the order line, -1 for none.
void FormatRows(CParse *parse, STable *table, const char *store_id, const char *format_name,
                uint32_t offered, int first_bit, int16_t chosen, const char *number_entry,
                const char *text_entry) {
    if (format_name[0] == '\0') return;
    const FormatRecord *format = ReadFormat(store_id, format_name);
    if (format == nullptr) return;
    for (int choice = 0; choice < kFormatChoices; ++choice) {
        if (format->choices[choice][0] == '\0' || !(offered & (1u << (first_bit + choice))))
            continue;
        table->SetLong(number_entry, choice);
        table->Set(text_entry, format->choices[choice]);
        table->Set("CHECKED", choice == chosen ? "CHECKED" : "");
        parse->Repeat();
    }
}

}  // namespace

void ProdInfoPage() {
    STable table;
    SetCommonEntries(&table);
    char sid[kStoreIdSize];
    TakeParam(sid, sizeof sid, "SID");
    table.Set("STOREID", HtmlEscape(sid));

    const StoreRecord *store = ReadStore(sid);
    if (store == nullptr) {
        Error(_getMsgBlk(46));
        return;
    }
    if (!CanSeeStore(store, 1)) return;
    char store_id[kStoreIdSize];
    _stzcpy(store_id, store->store_id, sizeof store_id);
    SetStoreEntries(&table, store, store_id);
    const ExtendedStoreRecord *ext = ReadExtStore(store_id);
    table.Set("WEIGHTFMT", ext != nullptr ? ext->weight_format : "");

    char did[kDeptIdSize];
    TakeParam(did, sizeof did, "DID");
    const DepartmentRecord *dept = ReadDepartment(store_id, did);
    if (dept == nullptr) {
        Error(_getMsgBlk(32));
        return;
    }
    char dept_id[kDeptIdSize];
    _stzcpy(dept_id, dept->dept_id, sizeof dept_id);
    table.Set("DEPTNAME", dept->name);
    table.Set("DEPTICON", GetDeptIcon(store_id, dept_id, dept->icon));
    table.Set("DEPTID", dept_id);
    SetSection(&table, "C1", "C2", !(dept->flags & kDeptNoOrders));

    char pid[kProductIdSize];
    _strrpl(TakeParam(pid, sizeof pid, "PID"), '+', ' ');
    const ProductRecord *product = ReadProduct(store_id, dept_id, pid);
    if (product == nullptr) {
        Error(_getMsgBlk(44));
        return;
    }
    if (!ProductAvailable(product)) {
        Error(_getMsgBlk(51));
        return;
    }

    ProductKey1 key = MakeProductKey1(store_id, dept_id, pid);
    _dfaSetBlk(Mall.product_file);
    NeighbourLink(&table, &key, HOST_QUERY_LESS, HOST_QUERY_PREVIOUS, "C1P", "C2P", "PCODEP");
    NeighbourLink(&table, &key, HOST_QUERY_GREATER, HOST_QUERY_NEXT, "C1N", "C2N", "PCODEN");
    _dfaRstBlk();

    table.Set("PRODID", PlusId(product->product_id));
    table.Set("PRODNAME", product->name);
    table.Set("PRODDESC", product->description);
    table.SetFloat("PRODPRICE", ProductPrice(product));
    char weight[32];
    FixedText(product->weight, 4, weight, sizeof weight);
    table.Set("WEIGHT", weight);
    table.Set("image1", SlashPath(product->pictures[0]));
    table.Set("image2", SlashPath(product->pictures[1]));
    table.Set("image3", SlashPath(product->pictures[2]));
    table.Set("ABSTRACT", product->abstract[0] != '\0' ? "Abstract" : "");
    table.Set("MMREF2", SlashPath(product->abstract));
    table.Set("SOUND", product->sound[0] != '\0' ? "Sound" : "");
    table.Set("MMREF1", SlashPath(product->sound));
    table.Set("format1", product->format1);
    table.Set("format2", product->format2);
    table.SetLong("IQUANT", product->stock);

    OrderItem line{};
    _stzcpy(line.product_id, pid, sizeof line.product_id);
    GetOrderItem(&line);
    table.SetLong("QUANT", line.quantity);

    CParse parse(TemplateOf(product->info_kind), &table, "kvzsvw\\", WebOut, sid);
    parse.Parse();

    uint32_t offered = product->offered;
    FormatRows(&parse, &table, store_id, product->format1, offered, 0, line.choice1, "v1", "fmttxt1");
    parse.Parse();
    FormatRows(&parse, &table, store_id, product->format2, offered, 8, line.choice2, "v2", "fmttxt2");
    parse.Parse();

    for (int i = 0; i < kDiscounts; ++i) {
        float percent = product->discount_percent[i];
        if (percent == 0) continue;
        char disc[32];
        FixedText(percent, 4, disc, sizeof disc);
        table.SetLong("dmin", product->discounts[i].min);
        table.SetLong("dmax", product->discounts[i].max);
        table.Set("disc", disc);
        parse.Repeat();
    }
    // Without a discount the text behind the discount block is emitted by one call and a
    // fourth block, if the template has one, is passed over by a second; with a discount the
    // page ends in front of that fourth block. A three-block template is whole either way.
    float first_percent = product->discount_percent[0];
    if (first_percent == 0) parse.Parse();
    parse.Parse();
}
