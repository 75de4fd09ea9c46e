// Head office's picture of the chain, in SQLite or PostgreSQL: each store's presence, each device's
// desired and reported price list, the price lists published, and each (store, device, business
// day) report once, at the highest version that arrived.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hq/config.h"
#include "hq/hq_database.h"

namespace velko::hq {

struct DeviceState {
    std::string store, device;
    int64_t desired = 0, reported = 0;  // versions; 0: none
    std::string state, detail;          // as last reported: verified, differs, failed, refused
};

struct StoreState {
    std::string store, status, since;  // online or offline, and since when
    // As the shop says it (its own clock): when it was last heard from, which run of its
    // service (when it started) and which status of that run, and the devices it serves.
    std::string heard, started;
    int64_t seq = 0;
    std::vector<std::string> devices;
};

struct DayReport {
    std::string store, device, businessDay;
    int64_t version = 0, articles = 0, reports = 0;
    int64_t quantity = 0, value = 0;  // thousandths, hundredths
    std::string received;
};

class HqStore {
  public:
    // A SQLite file's path, or a PostgreSQL URL; StoreError when it cannot be opened.
    explicit HqStore(const std::string& database);
    ~HqStore();
    HqStore(const HqStore&) = delete;
    HqStore& operator=(const HqStore&) = delete;

    // A store's presence as heard AT; a RETAINED one (the broker's memory) keeps the time of
    // the same status heard before, and is of a time unknown ("") when it changes it.
    void storeStatus(const std::string& store, const std::string& status, const std::string& at,
                     bool retained);
    // A store's presence as the shop tells it, every column.
    void shopStatus(const StoreState& state);
    std::optional<StoreState> storeState(const std::string& store);
    void desired(const std::string& store, const std::string& device, int64_t version);
    void reported(const std::string& store, const std::string& device, int64_t version,
                  const std::string& state, const std::string& detail);
    // Keeps the report unless one of a higher or the same version is kept; true when kept.
    bool dayReport(const DayReport& report, const std::string& payload);
    void commandResult(const std::string& store, const std::string& id, const std::string& payload);
    // A command's answers as (store, payload), by store.
    std::vector<std::pair<std::string, std::string>> commandResults(const std::string& id);

    // What head office sent under ID (a command, a promotion) to each (store, device); a
    // command goes to a store, device "".
    void sent(const std::string& id, const std::string& kind,
              const std::vector<std::pair<std::string, std::string>>& to, const std::string& at);
    // The devices of STORE that ID was sent to ("" for the store itself); empty: not sent there.
    std::vector<std::string> sentTo(const std::string& id, const std::string& store);

    // A device's word on a chain promotion, as it last said: its state, how its start and end
    // went, and a note.
    struct PromotionState {
        std::string id, store, device, state, start, end, note;
    };
    void promotionState(const PromotionState& state);
    // A page of a list: at most LIMIT rows from OFFSET, of one store and one state ("" all).
    struct Page {
        std::string store, state;
        int64_t limit = 1000, offset = 0;
    };
    std::vector<PromotionState> promotionStates(const Page& page);

    // The next version of a published price list, and the list as published.
    int64_t nextVersion();
    void published(int64_t version, const std::string& checksum, const std::string& articles,
                   const std::string& at);

    // A published list's checksum and articles (JSON), when it is known.
    struct PublishedList {
        std::string checksum, articles;
    };
    std::optional<PublishedList> priceList(int64_t version);

    // The register of the chain: stores (device "") and devices in service or retired. Enrolling
    // a device enrols its store; enrolling again brings back one retired.
    void enrol(const std::string& store, const std::string& device);
    // False when there was nothing in service to retire.
    bool retire(const std::string& store, const std::string& device, const std::string& at);
    // Renames a store everywhere head office knows it; false when the new name is taken or
    // the old one unknown.
    bool rename(const std::string& store, const std::string& to);
    struct Enrolled {
        std::string store, device, retired;
    };
    std::vector<Enrolled> enrolled();

    // Copies every row into `to` (another database: SQLite into PostgreSQL), leaving the rows
    // it has alone; how many were copied.
    size_t copyInto(HqStore& to);

    std::vector<StoreState> stores();
    // Every device head office knows (of one store, when named): from its price lists, the
    // register, and its shop's presence; never from a day report or a stray message alone.
    std::vector<DeviceState> devices(const std::string& onlyStore = "");
    std::vector<DayReport> dayReports(const std::string& day);
    struct Sales {
        std::string store, businessDay;
        int64_t quantity = 0, value = 0;  // thousandths, hundredths
    };
    // Each store's day reports summed over its devices, business days from..to (inclusive).
    std::vector<Sales> sales(const std::string& from, const std::string& to);

  private:
    std::unique_ptr<HqDatabase> db_;
};

// Head office's database as configured: `database`, or hq.db in the data folder (made).
std::unique_ptr<HqStore> openStore(const HqConfig& config);

}  // namespace velko::hq
