#pragma once
// The front door: free functions that forward to SessionManager::shared().
#include <memory>
#include <optional>
#include <string>

#include "http/session_manager.h"

namespace Duvarel {

std::shared_ptr<DataRequest> makeDataRequest(const URLConvertible& url, HTTPMethod method = HTTPMethod::get,
                                             std::optional<Parameters> parameters = std::nullopt,
                                             const ParameterEncoding& encoding = JSONEncoding::standard,
                                             std::optional<HTTPHeaders> headers = std::nullopt);
std::shared_ptr<DataRequest> makeDataRequestWithURLRequest(const URLRequestConvertible& urlRequest);

std::shared_ptr<DownloadRequest> makeDownloadRequest(const URLConvertible& url, HTTPMethod method,
                                                     std::optional<Parameters> parameters,
                                                     const ParameterEncoding& encoding,
                                                     std::optional<HTTPHeaders> headers = std::nullopt,
                                                     DownloadDestination destination = nullptr);
std::shared_ptr<DownloadRequest> makeDownloadRequestWithURLRequest(const URLRequestConvertible& urlRequest,
                                                                   DownloadDestination destination = nullptr);
std::shared_ptr<DownloadRequest> makeDownloadRequestResumingWithData(Bytes resumeData,
                                                                     DownloadDestination destination = nullptr);

std::shared_ptr<UploadRequest> makeFileUploadRequest(const foundation::Url& fileURL, const URLConvertible& url,
                                                     HTTPMethod method = HTTPMethod::post,
                                                     std::optional<HTTPHeaders> headers = std::nullopt);
std::shared_ptr<UploadRequest> makeFileUploadRequestWithURLRequest(const foundation::Url& fileURL,
                                                                   const URLRequestConvertible& urlRequest);
std::shared_ptr<UploadRequest> makeDataUploadRequest(Bytes data, const URLConvertible& url,
                                                     HTTPMethod method = HTTPMethod::post,
                                                     std::optional<HTTPHeaders> headers = std::nullopt);
std::shared_ptr<UploadRequest> makeDataUploadRequestWithURLRequest(Bytes data, const URLRequestConvertible& urlRequest);
std::shared_ptr<UploadRequest> makeStreamUploadRequest(std::shared_ptr<foundation::InputStream> stream,
                                                       const URLConvertible& url, HTTPMethod method = HTTPMethod::post,
                                                       std::optional<HTTPHeaders> headers = std::nullopt);
std::shared_ptr<UploadRequest> makeStreamUploadRequestWithURLRequest(std::shared_ptr<foundation::InputStream> stream,
                                                                     const URLRequestConvertible& urlRequest);

std::shared_ptr<StreamRequest> makeStreamRequest(const std::string& hostName, int port);
std::shared_ptr<StreamRequest> makeStreamRequestWithNetService(const NetService& netService);

}  // namespace Duvarel
